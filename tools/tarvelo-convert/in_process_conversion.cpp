#include "in_process_conversion.h"

#include <optional>
#include <string>

#include "failure_line.h"
#include "options.h"
#include "platform.h"
#include "stdio_conversion.h"
#include "test_fault_hooks.h"

namespace tarvelo::cli {

ConversionOutcome ConvertInProcess(const ConversionJob& job, std::optional<std::chrono::seconds> time_limit) {
  // Standard input is read before the time limit starts: a slow writer at the
  // other end of the pipe is no decoder that hangs.
  std::optional<std::string> source_bytes;
  if (job.source == kStdio) {
    std::string reason;
    source_bytes = ReadStandardInput(&reason);
    if (!source_bytes) {
      return FailedSource(job, reason);
    }
  }
  const std::string shown_source = DisplayedPath(job.source, true);
  std::string crash_prefix = FailureLine(shown_source, "decoder crashed (");
  crash_prefix.pop_back();  // the guard ends the line after the cause
  const std::string timeout_line =
      time_limit ? FailureLine(shown_source, "timed out after " + std::to_string(time_limit->count()) + " s")
                 : std::string();

  ArmInProcessGuard(crash_prefix, timeout_line, time_limit);
  (void)InjectTestFault(job.source);
  char detail[1024] = "";
  // The limit covers the decoding, never the final copy or rename: cut short, an
  // in-place overwrite would leave a mixed file.
  const TarveloStatus status = ConvertJob(job, source_bytes ? &*source_bytes : nullptr, detail, sizeof detail,
                                          [](void* /*context*/) { EndTimeLimit(); });
  DisarmInProcessGuard();
  return OutcomeOfStatus(job, status, detail);
}

}  // namespace tarvelo::cli
