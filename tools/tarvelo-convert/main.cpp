// tarvelo-convert: converts image files into TGA or BMP files from the shell, one
// file in the tool's own process or a batch, each file of a batch isolated in a
// worker process.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "batch_plan.h"
#include "conversion.h"
#include "options.h"
#include "platform.h"
#include "run_report.h"
#include "worker_pool.h"

int main(int argc, char** argv) {
  using namespace tarvelo::cli;
  const Options options = ParseCommandLine(ToolArguments(argc, argv));
  const bool data_on_stdout = !options.batch && options.destination == kStdio;
  if (data_on_stdout && !options.force && !options.dry_run && isatty(1) != 0) {
    (void)std::fputs(
        "tarvelo-convert: standard output is a terminal, not written to: redirect it (> FILE, | program), "
        "or use -f to write the image bytes anyway\n",
        stderr);
    return 1;
  }
  const std::optional<std::vector<PlannedConversion>> plan = Plan(options);
  if (!plan) {
    return 1;
  }
  RunReport report(options, plan->size(), data_on_stdout ? stderr : stdout, isatty(2) != 0);
  std::vector<ConversionJob> runnable;
  for (const PlannedConversion& entry : *plan) {
    if (entry.skipped) {
      report.Skipped(entry.job);
    } else if (entry.refusal.empty() && options.dry_run) {
      report.Record(entry.job, {true, entry.job.destination, ""});
    } else if (entry.refusal.empty()) {
      runnable.push_back(entry.job);
    } else {
      report.Record(entry.job, FailedSource(entry.job, entry.refusal));
    }
  }
  if (!options.batch && runnable.size() == 1) {
    report.Record(runnable.front(), ConvertInProcess(runnable.front(), options.time_limit));
  } else if (!runnable.empty()) {
    InstallInterruptHandlers();
    RunInWorkers(runnable, std::min(options.jobs, runnable.size()), options.time_limit, &report);
  }
  return report.End(InterruptSignal());
}
