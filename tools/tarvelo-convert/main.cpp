// tarvelo-convert: converts image files into TGA or BMP files from the shell, one
// file in the tool's own process or a batch, each file of a batch isolated in a
// worker process.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "batch_plan.h"
#include "failure_line.h"
#include "in_process_conversion.h"
#include "options.h"
#include "progress_line.h"
#include "worker_pool.h"

namespace tarvelo::cli {
namespace {

std::vector<PlannedConversion> Plan(const Options& options) {
  if (options.batch) {
    return PlanBatch(options.sources, options.output_directory, options.layout);
  }
  return {{{options.sources.front(), options.destination, options.layout}, ""}};
}

int RunConversions(const Options& options) {
  const std::vector<PlannedConversion> plan = Plan(options);
  ProgressLine progress(options.batch && isatty(STDERR_FILENO) == 1, plan.size());
  std::size_t done = 0;
  std::size_t failed = 0;
  const auto record = [&](bool converted, const std::string& file, const std::string& reason) {
    ++done;
    if (!converted) {
      ++failed;
      progress.Clear();
      // Nowhere else to report a failing stderr.
      (void)std::fputs(FailureLine(file, reason).c_str(), stderr);
    }
    progress.Update(done, failed);
  };

  std::vector<ConversionJob> runnable;
  for (const PlannedConversion& entry : plan) {
    if (entry.refusal.empty()) {
      runnable.push_back(entry.job);
    } else {
      record(false, entry.job.source, entry.refusal);
    }
  }
  const std::chrono::seconds time_limit(options.timeout_seconds);
  if (!options.batch && runnable.size() == 1) {
    const ConversionOutcome outcome = ConvertInProcess(runnable.front(), time_limit);
    record(outcome.converted, outcome.file, outcome.reason);
  } else if (!runnable.empty()) {
    WorkerPool pool(std::min(options.jobs, runnable.size()), time_limit);
    pool.Run(runnable, [&](std::size_t /*job_index*/, const ConversionOutcome& outcome) {
      record(outcome.converted, outcome.file, outcome.reason);
    });
  }
  progress.Clear();

  if (options.batch) {
    std::printf("converted %zu of %zu files, %zu failed\n", plan.size() - failed, plan.size(), failed);
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace
}  // namespace tarvelo::cli

int main(int argc, char** argv) {
  const tarvelo::cli::CommandLine command_line = tarvelo::cli::ParseCommandLine(argc, argv);
  if (!command_line.options) {
    return command_line.exit_code;
  }
  return tarvelo::cli::RunConversions(*command_line.options);
}
