// tarvelo-convert: converts image files into TGA or BMP files from the shell, one
// file in the tool's own process or a batch, each file of a batch isolated in a
// worker process.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "batch_plan.h"
#include "failure_line.h"
#include "in_process_conversion.h"
#include "options.h"
#include "platform.h"
#include "progress_line.h"
#include "run_report.h"
#include "worker_pool.h"

namespace tarvelo::cli {
namespace {

constexpr int kSignalExitBase = 128;  // as a shell reports a command a signal ended

std::vector<PlannedConversion> Plan(const Options& options) {
  if (options.batch) {
    std::vector<PlannedConversion> plan = PlanBatch(options.sources, options.output_directory, options.layout,
                                                    options.output_extension, options.skip_existing);
    for (PlannedConversion& entry : plan) {
      entry.job.max_pixels = options.max_pixels;
    }
    return plan;
  }
  PlannedConversion single{
      {options.sources.front(), options.destination, options.layout, options.max_pixels}, "", false};
  single.skipped_existing =
      options.skip_existing && options.destination != kStdio && OutputExists(options.destination);
  return {single};
}

int RunConversions(const Options& options) {
  const std::vector<PlannedConversion> plan = Plan(options);
  const bool data_on_stdout = !options.batch && options.destination == kStdio;
  RunReport report(options.verbosity, plan.size(), data_on_stdout ? stderr : stdout);
  ProgressLine progress(options.batch && options.verbosity != Verbosity::kQuiet && StandardErrorIsTerminal(),
                        plan.size());
  const auto record = [&](const ConversionJob& job, const ConversionOutcome& outcome) {
    // The progress line makes way only for a line of the report.
    if (!outcome.converted || options.verbosity == Verbosity::kVerbose) {
      progress.Clear();
    }
    report.Record(job, outcome);
    progress.Update(report.finished(), report.failed());
  };

  std::vector<ConversionJob> runnable;
  for (const PlannedConversion& entry : plan) {
    if (entry.skipped_existing) {
      progress.Clear();
      report.Skipped(entry.job);
    } else if (entry.refusal.empty()) {
      runnable.push_back(entry.job);
    } else {
      record(entry.job, FailedSource(entry.job, entry.refusal));
    }
  }
  if (!options.batch && runnable.size() == 1) {
    std::optional<std::chrono::seconds> time_limit;
    if (options.timeout_seconds != 0) {
      time_limit = std::chrono::seconds(options.timeout_seconds);
    }
    record(runnable.front(), ConvertInProcess(runnable.front(), time_limit));
  } else if (!runnable.empty()) {
    // Without the wake-up pipe an interrupt simply ends the tool, as by default.
    (void)InstallInterruptHandlers();
    const std::chrono::seconds time_limit(options.timeout_seconds != 0 ? options.timeout_seconds
                                                                       : kDefaultTimeoutSeconds);
    WorkerPool pool(std::min(options.jobs, runnable.size()), time_limit,
                    std::chrono::seconds(kInterruptGraceSeconds));
    pool.Run(runnable, [&](std::size_t job_index, const ConversionOutcome& outcome) {
      record(runnable[job_index], outcome);
    });
  }
  progress.Clear();

  const int interrupted_by = InterruptSignal();
  if (options.batch || interrupted_by != 0) {
    report.PrintSummary(interrupted_by);
  }
  if (!report.OutputWritten()) {
    return 1;
  }
  if (interrupted_by != 0) {
    return kSignalExitBase + interrupted_by;
  }
  return report.failed() == 0 ? 0 : 1;
}

}  // namespace
}  // namespace tarvelo::cli

namespace {

int RunTool(int argc, char** argv) {
  const tarvelo::cli::CommandLine command_line = tarvelo::cli::ParseCommandLine(argc, argv);
  if (!command_line.options) {
    return command_line.exit_code;
  }
  for (const std::string& warning : command_line.options->warnings) {
    (void)std::fprintf(stderr, "tarvelo-convert: warning: %s\n", warning.c_str());
  }
  return tarvelo::cli::RunConversions(*command_line.options);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments = tarvelo::cli::ToolArguments(argc, argv);
  std::vector<char*> argument_pointers;
  argument_pointers.reserve(arguments.size() + 1);
  for (std::string& argument : arguments) {
    argument_pointers.push_back(argument.data());
  }
  argument_pointers.push_back(nullptr);
  return RunTool(static_cast<int>(arguments.size()), argument_pointers.data());
}
