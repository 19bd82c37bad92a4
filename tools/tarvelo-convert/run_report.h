#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <optional>

#include "conversion.h"
#include "options.h"

namespace tarvelo::cli {

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

// What a run tells its user: failures on stderr always, a line per file with -v
// (and in a dry run: each file that would be converted), a batch's progress while
// stderr is a terminal, and the summary line of a batch or a dry run unless -q.
class RunReport {
 public:
  // `out` takes the per-file lines and the summary: stdout, or stderr when stdout
  // carries the converted image. `total`: the files of the run.
  RunReport(const Options& options, std::size_t total, std::FILE* out, bool stderr_is_terminal);

  void Record(const ConversionJob& job, const ConversionOutcome& outcome);
  void Skipped(const ConversionJob& job);

  // Erases the progress line and prints the summary: "converted C of N files, [S
  // skipped, ]F failed" ("would convert" in a dry run), and when a signal ended the
  // run early ", R not done (interrupted by SIGINT)", which is printed also with -q
  // and after a single file: the user must learn that files were left undone.
  // Returns the exit status: 1 when a file failed or the report itself could not be
  // written (stdout on a full disk, ...; said on stderr), 128 + the signal after an
  // interrupt, else 0.
  int End(int interrupted_by);

 private:
  // "N of M files done, F failed, R files/s, m:ss left", redrawn in place at most
  // about ten times a second (and once more for the last file).
  void DrawProgress();
  void ClearProgress();

  const Options& options_;
  std::size_t total_;
  std::FILE* out_;
  bool progress_;  // in a log or a pipe it would be noise
  std::size_t converted_ = 0;
  std::size_t failed_ = 0;
  std::size_t skipped_ = 0;
  bool shown_ = false;  // the progress line is on the terminal now
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::optional<std::chrono::steady_clock::time_point> last_drawn_;  // none: never drawn
};

}  // namespace tarvelo::cli
