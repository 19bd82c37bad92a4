// tarvelo-convert: converts image files into TGA or BMP files from the shell, one
// file in the tool's own process or a batch, each file of a batch isolated in a
// worker process.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
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

namespace fs = std::filesystem;

// A dry run's stand-in for MakeDirectoriesBelow: ENOTDIR when something other
// than a directory is in the way.
int CheckDirectoriesBelow(const std::string& output_directory, const std::string& relative) {
  for (std::size_t end = relative.find('/');; end = relative.find('/', end + 1)) {
    const std::string path = output_directory + "/" + relative.substr(0, end);
    if (PathExists(path) && !IsDirectory(path)) {
      return ENOTDIR;
    }
    if (end == std::string::npos) {
      return 0;
    }
  }
}

// Writes below -o through the directory held open (made first if -r or --parents
// may), and makes the directories the entries need, never through a link; a dry
// run only checks that nothing is in their way. An entry whose directory cannot be
// made is refused. False, with a line on stderr, when -o cannot be made or opened.
bool PrepareOutputDirectory(const Options& options, std::vector<PlannedConversion>* plan) {
  const std::string& named = options.output_directory;
  std::string held;
  if (!options.dry_run) {
    std::error_code error;
    fs::create_directories(fs::path(std::u8string(named.begin(), named.end())), error);
    held = HoldOutputDirectory(named);
    if (held.empty()) {
      (void)std::fputs(
          FailureLine(named, std::string("cannot open the output directory: ") + std::strerror(errno))
              .c_str(),
          stderr);
      return false;
    }
    ShowHeldDirectoryAs(held, named.back() == '/' ? named : named + "/");
  }
  std::map<std::string, int> made;  // directory below -o -> 0 or the errno making it
  for (PlannedConversion& entry : *plan) {
    if (!entry.refusal.empty()) {
      continue;
    }
    if (!options.dry_run) {
      entry.job.destination = held + entry.relative;
    }
    const std::string directory = DirectoriesOf(entry.relative);
    if (directory.empty() || entry.skipped) {
      continue;
    }
    const auto [it, fresh] = made.emplace(directory, 0);
    if (fresh) {
      it->second =
          options.dry_run ? CheckDirectoriesBelow(named, directory) : MakeDirectoriesBelow(directory);
    }
    if (it->second != 0) {
      entry.refusal = "cannot create the directory ";
      entry.refusal.append(named).append("/").append(directory).append(": ").append(
          std::strerror(it->second));
    }
  }
  return true;
}

// The batch's entries, or the single conversion; none, with a line on stderr, when
// the run must not start.
std::optional<std::vector<PlannedConversion>> Plan(const Options& options) {
  std::vector<PlannedConversion> plan;
  if (options.batch) {
    BatchPlan batch =
        PlanBatch(options.sources, {options.output_directory, options.layout, options.output_extension,
                                    options.recursive, options.parents});
    if (!batch.collision.empty()) {
      const bool kept = options.recursive || options.parents;
      (void)std::fprintf(stderr, "tarvelo-convert: %s: nothing was converted; %s\n", batch.collision.c_str(),
                         kept ? "convert one of them apart"
                              : "keep the sources' directories with -r or --parents, or convert them apart");
      return std::nullopt;
    }
    plan = std::move(batch.entries);
  } else {
    plan.push_back({{options.sources.front(), options.destination, options.layout}, "", "", false});
  }
  for (PlannedConversion& entry : plan) {
    entry.job.max_pixels = options.max_pixels;
    entry.skipped = entry.refusal.empty() && entry.job.destination != kStdio &&
                    LeftAlone(entry.job, options.skip_existing, options.update);
  }
  if (options.batch && !PrepareOutputDirectory(options, &plan)) {
    return std::nullopt;
  }
  return plan;
}

int RunConversions(const Options& options) {
  const bool data_on_stdout = !options.batch && options.destination == kStdio;
  if (data_on_stdout && !options.force && !options.dry_run && IsTerminal(1)) {
    (void)std::fputs(
        "tarvelo-convert: standard output is a terminal, not written to: redirect it (> FILE, | program), "
        "or use -f to write the image bytes anyway\n",
        stderr);
    return 1;
  }
  const std::optional<std::vector<PlannedConversion>> planned = Plan(options);
  if (!planned) {
    return 1;
  }
  const std::vector<PlannedConversion>& plan = *planned;
  RunReport report(options.verbosity, plan.size(), data_on_stdout ? stderr : stdout, options.dry_run);
  ProgressLine progress(options.batch && options.verbosity != Verbosity::kQuiet && IsTerminal(2),
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
    if (entry.skipped) {
      progress.Clear();
      report.Skipped(entry.job);
    } else if (entry.refusal.empty() && options.dry_run) {
      report.Record(entry.job, {true, entry.job.destination, ""});
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
  if (options.batch || options.dry_run || interrupted_by != 0) {
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
