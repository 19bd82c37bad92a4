#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "TarveloConvert.h"

namespace tarvelo::cli {

// A batch's time limit per file unless --timeout says otherwise; a single
// conversion has none unless asked, as other converters have none.
constexpr unsigned kDefaultTimeoutSeconds = 120;
// How long an interrupted batch lets the files being converted finish.
constexpr unsigned kInterruptGraceSeconds = 5;

// "-" as SOURCE reads standard input, as DEST writes standard output.
constexpr const char* kStdio = "-";

// How much the tool reports besides failures.
enum class Verbosity {
  kQuiet,    // -q: failures only
  kNormal,   // failures, a batch's progress and summary
  kVerbose,  // -v: also a line per file
};

// What the command line asks for, checked and resolved.
struct Options {
  bool batch = false;  // -o DIR given
  TarveloLayout layout = TARVELO_LAYOUT_TGA;
  std::vector<std::string> sources;  // exactly one unless batch
  std::string destination;           // single file only; kStdio: standard output
  std::string output_directory;      // batch only
  std::string output_extension;      // batch only: ".tga" or ".bmp", from --to
  std::size_t jobs = 1;
  std::chrono::seconds time_limit{0};  // --timeout, or a batch's default; 0: none
  uint64_t max_pixels = 0;             // 0: the library's decoded-size cap
  bool skip_existing = false;
  bool update = false;     // --update: only where the output is missing or older than its source
  bool dry_run = false;    // -n: say what would be converted, write nothing
  bool force = false;      // -f: image bytes may go to a terminal
  bool recursive = false;  // -r
  bool parents = false;    // --parents
  Verbosity verbosity = Verbosity::kNormal;
};

// Parses the arguments (those after the program's name) and reads the --files-from list.
// --help and --version print to stdout; a usage error prints one line to stderr,
// and each warning a line of its own. Ends the tool when it is not to run: with 0
// after --help or --version, 2 after a usage error, 1 when --help or --version
// could not be written or the list is too large to read.
Options ParseCommandLine(std::vector<std::string> arguments);

}  // namespace tarvelo::cli
