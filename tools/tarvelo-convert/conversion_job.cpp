#include "conversion_job.h"

#include <utility>

#include "options.h"

namespace tarvelo::cli {

namespace {
std::string g_held;
std::string g_shown;
}  // namespace

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
