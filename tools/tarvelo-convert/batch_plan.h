#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "conversion.h"
#include "options.h"

namespace tarvelo::cli {

// Names are UTF-8 bytes: a path made from a narrow string would read them in the
// ANSI code page on Windows.
std::filesystem::path PathOf(const std::string& utf8);
// True when `path` names anything (a file, a directory, a dangling link).
bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
// ASCII letters in lower case, whatever the locale.
std::string Lowercase(std::string text);

// A batch entry: the job, or why it is not run at all.
struct PlannedConversion {
  ConversionJob job;     // destination: the output directory, "/" and `relative`
  std::string relative;  // the destination below the output directory ("a/b/x.tga")
  std::string refusal;   // empty: run the job
  bool skipped = false;  // --skip-existing or --update leave the output alone
};

// The run's entries: the batch's (-o made if -r or --parents may, then held open
// and written below through it; the directories the entries need made below it,
// never through a link, or in a dry run only checked that nothing is in their way;
// -o and those below it made only for entries whose source is there, so a batch
// of missing sources creates nothing; an entry whose directory cannot be made is
// refused), or the single conversion;
// --skip-existing and --update applied. None, with a line on stderr, when the run
// must not start: two sources for one output, -o that cannot be made or opened.
std::optional<std::vector<PlannedConversion>> Plan(const Options& options);

}  // namespace tarvelo::cli
