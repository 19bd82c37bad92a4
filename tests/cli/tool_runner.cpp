#include "tool_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

extern char** environ;  // NOLINT(readability-redundant-declaration): not every unistd.h has it

namespace tarvelo::test {
namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }
  [[nodiscard]] int get() const { return fd_; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_;
};

void Check(bool ok, const char* what) {
  if (!ok) {
    throw std::runtime_error(std::string(what) + " failed, errno " + std::to_string(errno));
  }
}

// Appends one read's worth; false at end of file (or EIO: a pty without slave).
bool Drain(int fd, std::string* sink) {
  char buffer[4096];
  const ssize_t got = read(fd, buffer, sizeof buffer);
  if (got > 0) {
    sink->append(buffer, static_cast<std::size_t>(got));
  }
  return got > 0 || (got < 0 && errno == EINTR);
}

}  // namespace

ToolResult RunTool(const std::vector<std::string>& arguments, const ToolSettings& settings) {
  int out_pipe[2];
  int err_pipe[2] = {-1, -1};
  Check(pipe(out_pipe) == 0, "pipe");
  Fd out_read(out_pipe[0]);
  Fd out_write(out_pipe[1]);
  Fd err_read;
  Fd err_write;
  std::string terminal_name;
  if (settings.stderr_on_terminal) {
    err_read.Reset(posix_openpt(O_RDWR | O_NOCTTY));
    Check(err_read.get() >= 0 && grantpt(err_read.get()) == 0 && unlockpt(err_read.get()) == 0, "openpt");
    terminal_name = ptsname(err_read.get());
    // Holding the slave open keeps the master readable until we have drained it.
    err_write.Reset(open(terminal_name.c_str(), O_RDWR | O_NOCTTY));
    Check(err_write.get() >= 0, "open pty");
  } else {
    Check(pipe(err_pipe) == 0, "pipe");
    err_read.Reset(err_pipe[0]);
    err_write.Reset(err_pipe[1]);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, settings.stdin_path.c_str(), O_RDONLY, 0);
  if (settings.stdout_path.empty()) {
    posix_spawn_file_actions_adddup2(&actions, out_write.get(), STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, settings.stdout_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  posix_spawn_file_actions_adddup2(&actions, err_write.get(), STDERR_FILENO);
  if (!settings.working_directory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, settings.working_directory.c_str());
  }
  for (const int fd : {out_read.get(), out_write.get(), err_read.get(), err_write.get()}) {
    posix_spawn_file_actions_addclose(&actions, fd);
  }

  // A cross build's tool runs through the emulator that runs the tests themselves
  // (qemu-user), given as words separated by spaces.
  std::vector<std::string> argument_text;
#if defined(TARVELO_TOOL_EMULATOR)
  std::istringstream emulator(TARVELO_TOOL_EMULATOR);
  for (std::string word; emulator >> word;) {
    argument_text.push_back(word);
  }
#endif
  argument_text.emplace_back(settings.hooked ? TARVELO_CONVERT_HOOKED_TOOL : TARVELO_CONVERT_TOOL);
  argument_text.insert(argument_text.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  argv.reserve(argument_text.size() + 1);
  for (std::string& text : argument_text) {
    argv.push_back(text.data());
  }
  argv.push_back(nullptr);
  std::vector<std::string> environment_text = settings.extra_environment;
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    envp.push_back(*entry);
  }
  for (std::string& text : environment_text) {
    envp.push_back(text.data());
  }
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  errno = spawned;
  Check(spawned == 0, "posix_spawn");
  out_write.Reset();
  if (!settings.stderr_on_terminal) {
    err_write.Reset();
  }

  ToolResult result;
  bool out_open = true;
  bool err_open = true;
  bool signal_pending = settings.signal_number != 0;
  while (out_open || (err_open && !settings.stderr_on_terminal)) {
    pollfd watched[2] = {{out_open ? out_read.get() : -1, POLLIN, 0},
                         {err_open ? err_read.get() : -1, POLLIN, 0}};
    if (signal_pending && access(settings.signal_when_exists.c_str(), F_OK) == 0) {
      kill(pid, settings.signal_number);
      signal_pending = false;
    }
    if (poll(watched, 2, signal_pending ? 5 : -1) < 0) {
      Check(errno == EINTR, "poll");
      continue;
    }
    if (watched[0].revents != 0) {
      out_open = Drain(out_read.get(), &result.out);
      if (out_open && result.out.size() >= settings.close_stdout_after) {
        out_read.Reset();
        out_open = false;
      }
    }
    if (watched[1].revents != 0) {
      err_open = Drain(err_read.get(), &result.err);
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    Check(errno == EINTR, "waitpid");
  }
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  if (signal_pending) {
    throw std::runtime_error("the tool ended before " + settings.signal_when_exists + " appeared");
  }
  if (settings.stderr_on_terminal) {
    // With the last slave closed, the master hands out what is left, then EIO.
    err_write.Reset();
    while (Drain(err_read.get(), &result.err)) {
    }
  }
#if defined(TARVELO_TOOL_EMULATOR)
  // qemu-user reports a worker's crash on the same stderr ("qemu: uncaught target
  // signal 11 ..."): that line is the emulator's, not the tool's.
  std::string tool_err;
  std::istringstream lines(result.err);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("qemu: ")) {
      tool_err += line + (lines.eof() ? "" : "\n");
    }
  }
  result.err = tool_err;
#endif
  return result;
}

}  // namespace tarvelo::test
