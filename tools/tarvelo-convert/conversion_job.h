#pragma once

#include <cstdint>
#include <string>

#include "TarveloConvert.h"

namespace tarvelo::cli {

// One file to convert.
struct ConversionJob {
  std::string source;
  std::string destination;
  TarveloLayout layout = TARVELO_LAYOUT_TGA;
  uint64_t max_pixels = 0;  // --max-pixels; 0: the library's cap
};

// What became of it. On failure `file` names the file the reason is about: the
// destination when it could not be created or written, the source otherwise.
struct ConversionOutcome {
  bool converted = false;
  std::string file;
  std::string reason;
};

// How failure lines name a file: '-' as "(standard input)" or "(standard output)",
// and a file below the batch's output directory, which the tool reaches through
// `held` ("/proc/self/fd/N/"), as below `shown` (the directory as the user named it).
void ShowHeldDirectoryAs(const std::string& held, const std::string& shown);
std::string DisplayedPath(const std::string& path, bool is_source);

// "tarvelo-convert: <file>: <reason>\n". Control characters (a newline in a file
// name, say) become '?' so that every failure stays exactly one line.
std::string FailureLine(const std::string& file, const std::string& reason);

// The outcome the library's status stands for, e.g. "source unreadable: can't fopen".
ConversionOutcome OutcomeOfStatus(const ConversionJob& job, TarveloStatus status, const std::string& detail);

// A failure that happened to the job as a whole (worker crash, time limit, ...).
ConversionOutcome FailedSource(const ConversionJob& job, std::string reason);

}  // namespace tarvelo::cli
