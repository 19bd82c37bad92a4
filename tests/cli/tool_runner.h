#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tarvelo::test {

struct ToolResult {
  int exit_code = -1;  // -1 when the tool died from a signal
  int signal = 0;      // the signal that ended the tool, 0 when it exited
  std::string out;
  std::string err;
};

struct ToolSettings {
  std::vector<std::string> extra_environment;  // "NAME=value" added to ours
  bool stderr_on_terminal = false;             // stderr is a pseudo-terminal, not a pipe
  bool hooked = false;  // the tests' copy with the fault hooks instead of the tool that is installed
  std::string stdin_path = "/dev/null";  // the file the tool reads as stdin
  std::string stdout_path{};             // stdout into this file instead of `out`
  std::string working_directory{};       // the tool's, instead of ours
  // Sends `signal_number` to the tool once `signal_when_exists` exists (checked
  // every few milliseconds), e.g. once a batch has written its first output.
  std::string signal_when_exists{};
  int signal_number = 0;
  // Stops reading stdout and closes the pipe once this many bytes have come, as
  // `| head -c N` does.
  std::size_t close_stdout_after = static_cast<std::size_t>(-1);
};

// Runs the built tarvelo-convert with `arguments` and stdin from /dev/null, and
// returns once the tool and everything it started have closed stdout: a worker
// process left behind would make this hang rather than pass.
ToolResult RunTool(const std::vector<std::string>& arguments, const ToolSettings& settings = {});

}  // namespace tarvelo::test
