#include "conversion_job.h"

#include <utility>

namespace tarvelo::cli {

ConversionOutcome OutcomeOfStatus(const ConversionJob& job, TarveloStatus status, const std::string& detail) {
  if (status == TARVELO_STATUS_CONVERTED) {
    return {true, job.destination, ""};
  }
  std::string reason = TarveloStatusMessage(status);
  if (!detail.empty()) {
    reason += ": " + detail;
  }
  const bool about_destination =
      status == TARVELO_STATUS_DESTINATION_UNOPENABLE || status == TARVELO_STATUS_WRITE_FAILED;
  return {false, about_destination ? job.destination : job.source, std::move(reason)};
}

ConversionOutcome FailedSource(const ConversionJob& job, std::string reason) {
  return {false, job.source, std::move(reason)};
}

}  // namespace tarvelo::cli
