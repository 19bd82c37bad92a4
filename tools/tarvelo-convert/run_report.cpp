#include "run_report.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include "failure_line.h"

namespace tarvelo::cli {
namespace {

const char* SignalName(int signal_number) {
  switch (signal_number) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "a signal";
  }
}

}  // namespace

RunReport::RunReport(Verbosity verbosity, std::size_t total, std::FILE* out, bool dry_run)
    : verbosity_(verbosity), total_(total), out_(out), dry_run_(dry_run) {}

void RunReport::Record(const ConversionJob& job, const ConversionOutcome& outcome) {
  if (!outcome.converted) {
    ++failed_;
    // Nowhere else to report a failing stderr.
    (void)std::fputs(FailureLine(outcome.file, outcome.reason).c_str(), stderr);
    return;
  }
  ++converted_;
  if (verbosity_ == Verbosity::kVerbose || dry_run_) {
    (void)std::fprintf(out_, "%s -> %s\n", DisplayedPath(job.source, true).c_str(),
                       DisplayedPath(job.destination, false).c_str());
  }
}

void RunReport::Skipped(const ConversionJob& job) {
  ++skipped_;
  if (verbosity_ == Verbosity::kVerbose) {
    (void)std::fprintf(out_, "%s: skipped, %s exists\n", job.source.c_str(),
                       DisplayedPath(job.destination, false).c_str());
  }
}

void RunReport::PrintSummary(int interrupted_by) {
  if (verbosity_ == Verbosity::kQuiet && interrupted_by == 0) {
    return;
  }
  std::string line = (dry_run_ ? "would convert " : "converted ") + std::to_string(converted_) + " of " +
                     std::to_string(total_) + " files, ";
  if (skipped_ > 0) {
    line += std::to_string(skipped_) + " skipped, ";
  }
  line += std::to_string(failed_) + " failed";
  if (interrupted_by != 0) {
    line += ", " + std::to_string(total_ - finished()) + " not done (interrupted by " +
            SignalName(interrupted_by) + ")";
  }
  line += '\n';
  (void)std::fputs(line.c_str(), out_);
}

bool RunReport::OutputWritten() {
  if (std::fflush(out_) == 0 && std::ferror(out_) == 0) {
    return true;
  }
  const int error = errno != 0 ? errno : EIO;
  (void)std::fprintf(stderr, "tarvelo-convert: cannot write the report: %s\n", std::strerror(error));
  return false;
}

}  // namespace tarvelo::cli
