#include "run_report.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <string>
#include <utility>

namespace tarvelo::cli {
namespace {

constexpr int kSignalExitBase = 128;  // as a shell reports a command a signal ended

// About ten redraws a second: a line that changes faster cannot be read, and each
// redraw is output a terminal (or a remote session) has to carry.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr const char* kEraseLine = "\r\x1b[K";

std::string g_held;  // ShowHeldDirectoryAs
std::string g_shown;

}  // namespace

RunReport::RunReport(const Options& options, std::size_t total, std::FILE* out, bool stderr_is_terminal)
    : options_(options),
      total_(total),
      out_(out),
      progress_(options.batch && !options.dry_run && options.verbosity != Verbosity::kQuiet &&
                stderr_is_terminal) {}

void RunReport::Record(const ConversionJob& job, const ConversionOutcome& outcome) {
  // The progress line makes way only for a line of the report.
  if (!outcome.converted || options_.verbosity == Verbosity::kVerbose) {
    ClearProgress();
  }
  if (!outcome.converted) {
    ++failed_;
    // Nowhere else to report a failing stderr.
    (void)std::fputs(FailureLine(outcome.file, outcome.reason).c_str(), stderr);
  } else if (++converted_; options_.verbosity == Verbosity::kVerbose || options_.dry_run) {
    (void)std::fprintf(out_, "%s -> %s\n", DisplayedPath(job.source, true).c_str(),
                       DisplayedPath(job.destination, false).c_str());
  }
  DrawProgress();
}

void RunReport::Skipped(const ConversionJob& job) {
  ClearProgress();
  ++skipped_;
  if (options_.verbosity == Verbosity::kVerbose) {
    (void)std::fprintf(out_, "%s: skipped, %s exists\n", job.source.c_str(),
                       DisplayedPath(job.destination, false).c_str());
  }
}

int RunReport::End(int interrupted_by) {
  ClearProgress();
  if (((options_.batch || options_.dry_run) && options_.verbosity != Verbosity::kQuiet) ||
      interrupted_by != 0) {
    (void)std::fprintf(out_, "%s %zu of %zu files, ", options_.dry_run ? "would convert" : "converted",
                       converted_, total_);
    if (skipped_ > 0) {
      (void)std::fprintf(out_, "%zu skipped, ", skipped_);
    }
    (void)std::fprintf(out_, "%zu failed", failed_);
    if (interrupted_by != 0) {
      (void)std::fprintf(out_, ", %zu not done (interrupted by %s)", total_ - converted_ - failed_ - skipped_,
                         interrupted_by == SIGINT ? "SIGINT" : "SIGTERM");
    }
    (void)std::fputc('\n', out_);
  }
  if (std::fflush(out_) != 0 || std::ferror(out_) != 0) {
    const int error = errno != 0 ? errno : EIO;
    (void)std::fprintf(stderr, "tarvelo-convert: cannot write the report: %s\n", std::strerror(error));
    return 1;
  }
  if (interrupted_by != 0) {
    return kSignalExitBase + interrupted_by;
  }
  return failed_ == 0 ? 0 : 1;
}

void RunReport::DrawProgress() {
  const auto now = std::chrono::steady_clock::now();
  const std::size_t done = converted_ + failed_ + skipped_;
  if (!progress_ || (last_drawn_ && done < total_ && now - *last_drawn_ < kRedrawInterval)) {
    return;
  }
  (void)std::fprintf(stderr, "%starvelo-convert: %zu of %zu files done, %zu failed", kEraseLine, done, total_,
                     failed_);
  const double seconds = std::chrono::duration<double>(now - started_).count();
  if (done > 0 && seconds > 0) {
    const double rate = static_cast<double>(done) / seconds;
    const auto left =
        static_cast<unsigned long long>(std::llround(static_cast<double>(total_ - done) / rate));
    (void)std::fprintf(stderr, ", %.1f files/s, %llu:%02llu left", rate, left / 60, left % 60);
  }
  shown_ = true;
  last_drawn_ = now;
}

void RunReport::ClearProgress() {
  if (shown_) {
    (void)std::fputs(kEraseLine, stderr);
    shown_ = false;
  }
}

void ShowHeldDirectoryAs(const std::string& held, const std::string& shown) {
  g_held = held;
  g_shown = shown;
}

std::string DisplayedPath(const std::string& path, bool is_source) {
  if (path == kStdio) {
    return is_source ? "(standard input)" : "(standard output)";
  }
  if (!is_source && !g_held.empty() && path.starts_with(g_held)) {
    return g_shown + path.substr(g_held.size());
  }
  return path;
}

std::string FailureLine(const std::string& file, const std::string& reason) {
  std::string line = "tarvelo-convert: " + file + ": " + reason + "\n";
  for (std::size_t i = 0; i + 1 < line.size(); ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    line[i] = byte < 0x20 || byte == 0x7F ? '?' : line[i];
  }
  return line;
}

ConversionOutcome OutcomeOfStatus(const ConversionJob& job, TarveloStatus status, const std::string& detail) {
  if (status == TARVELO_STATUS_CONVERTED) {
    return {true, job.destination, ""};
  }
  std::string reason = TarveloStatusMessage(status);
  if (!detail.empty() && detail != reason) {  // "out of memory" says it all
    reason += ": " + detail;
  }
  const bool about_destination =
      status == TARVELO_STATUS_DESTINATION_UNOPENABLE || status == TARVELO_STATUS_WRITE_FAILED;
  return {false, about_destination ? DisplayedPath(job.destination, false) : DisplayedPath(job.source, true),
          std::move(reason)};
}

ConversionOutcome FailedSource(const ConversionJob& job, std::string reason) {
  return {false, DisplayedPath(job.source, true), std::move(reason)};
}

}  // namespace tarvelo::cli
