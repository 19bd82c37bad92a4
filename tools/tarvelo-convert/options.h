#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "TarveloConvert.h"

namespace tarvelo::cli {

constexpr unsigned kDefaultTimeoutSeconds = 120;

// What the command line asks for, checked and resolved.
struct Options {
  bool batch = false;  // -o DIR given
  TarveloLayout layout = TARVELO_LAYOUT_TGA;
  std::vector<std::string> sources;  // exactly one unless batch
  std::string destination;           // single file only
  std::string output_directory;      // batch only
  std::size_t jobs = 1;
  unsigned timeout_seconds = kDefaultTimeoutSeconds;
};

struct CommandLine {
  std::optional<Options> options;  // absent: exit with exit_code
  int exit_code = 0;               // 0 after --help or --version, 2 after a usage error
};

// Parses the arguments. --help and --version print to stdout; a usage error prints
// one line to stderr.
CommandLine ParseCommandLine(int argc, char** argv);

}  // namespace tarvelo::cli
