#pragma once

#include <cstddef>
#include <cstdio>

#include "conversion_job.h"
#include "options.h"

namespace tarvelo::cli {

// What a run tells its user: failures on stderr always, a line per file with -v,
// and a batch's summary line unless -q.
class RunReport {
 public:
  // `out` takes the per-file lines and the summary: stdout, or stderr when stdout
  // carries the converted image.
  // `dry_run`: the jobs recorded as converted are the ones that would be, each on a
  // line whatever the verbosity.
  RunReport(Verbosity verbosity, std::size_t total, std::FILE* out, bool dry_run = false);

  void Record(const ConversionJob& job, const ConversionOutcome& outcome);
  void Skipped(const ConversionJob& job);

  // "converted C of N files, [S skipped, ]F failed" ("would convert" in a dry run), and when a signal ended
  // the run early ", R not done (interrupted by SIGINT)". Printed also with -q when interrupted: the user
  // must learn that files were left undone.
  void PrintSummary(int interrupted_by);

  // False when writing the report itself failed (stdout on a full disk, ...); says
  // so on stderr.
  bool OutputWritten();

  [[nodiscard]] std::size_t finished() const { return converted_ + failed_ + skipped_; }
  [[nodiscard]] std::size_t failed() const { return failed_; }

 private:
  Verbosity verbosity_;
  std::size_t total_;
  std::FILE* out_;
  bool dry_run_;
  std::size_t converted_ = 0;
  std::size_t failed_ = 0;
  std::size_t skipped_ = 0;
};

}  // namespace tarvelo::cli
