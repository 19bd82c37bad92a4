#include "options.h"

#include <unistd.h>
#if defined(__linux__)
#include <sched.h>
#endif

#include <CLI/CLI.hpp>
#include <string>

#include "layout_choice.h"
#include "tool_version.h"

namespace tarvelo::cli {
namespace {

constexpr int kUsageError = 2;
constexpr std::size_t kMaxJobs = 1024;
constexpr unsigned kMaxTimeoutSeconds = 86400;

// The CPUs this process may run on.
std::size_t CoreCount() {
#if defined(__linux__)
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
    return static_cast<std::size_t>(CPU_COUNT(&allowed));
  }
#endif
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

// The tool has two forms that CLI11's generated usage line cannot express; the
// usage comes first and the description explains the positionals.
class ToolFormatter : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App* app, std::string /*name*/) const override {
    return "Usage: tarvelo-convert [OPTIONS] SOURCE DEST\n"
           "       tarvelo-convert [OPTIONS] --to tga|bmp -o DIR SOURCE...\n\n" +
           app->get_description();
  }
  std::string make_description(const CLI::App* /*app*/) const override { return ""; }
  std::string make_positionals(const CLI::App* /*app*/) const override { return ""; }
};

const char* const kDescription =
    "Converts images into uncompressed TGA or 24-bit BMP files.\n"
    "\n"
    "Single file: SOURCE is converted into DEST. DEST's extension (.tga or .bmp, any case)\n"
    "chooses the layout unless --to names it.\n"
    "\n"
    "Batch (-o DIR): each SOURCE is converted into DIR/<stem>.tga or DIR/<stem>.bmp, the\n"
    "stem being SOURCE's file name without its last extension. Several files are converted\n"
    "at once (-j), failures do not stop the batch, progress is shown while stderr is a\n"
    "terminal, and a summary line ends the run. A SOURCE with the same stem as an earlier\n"
    "one would overwrite its output: it is not converted and counts as failed.\n"
    "\n"
    "SOURCE may be any format the decoder reads (JPEG, PNG, BMP, TGA, GIF, PSD, PIC, PNM,\n"
    "Radiance HDR), recognised by its contents. A destination is written in full or not at\n"
    "all: on failure no file is created and an existing one keeps its bytes.\n";

const char* const kFooter =
    "Layouts:\n"
    "  tga  uncompressed true-colour TGA, 24 bits per pixel, or 32 with alpha (grey+alpha,\n"
    "       RGBA); grey is stored as three equal bytes\n"
    "  bmp  uncompressed 24-bit BMP; alpha is flattened against magenta (grey+alpha: dropped)\n"
    "\n"
    "Isolation: each file of a batch is converted in a worker process, a single file in\n"
    "the tool's own process, both with a time limit (--timeout, 120 s unless set). A file\n"
    "whose decoder crashes or runs past the limit fails with \"decoder crashed (signal N)\"\n"
    "or \"timed out after N s\"; the other files of a batch go on.\n"
    "\n"
    "Each failure is one line on stderr: \"tarvelo-convert: FILE: REASON\".\n"
    "Put -- before sources whose names begin with '-'.\n"
    "\n"
    "Exit status: 0 every file converted, 1 some file failed, 2 usage error.\n";

// Settles the mode and the layout; throws CLI::ValidationError on a usage error.
void Resolve(const std::vector<std::string>& paths, const std::string& forced_layout, Options* options) {
  const std::optional<TarveloLayout> forced =
      forced_layout.empty() ? std::nullopt : LayoutFromName(forced_layout);
  options->batch = !options->output_directory.empty();
  if (options->batch) {
    if (!forced) {
      throw CLI::ValidationError("a batch (-o DIR) needs --to tga or --to bmp");
    }
    options->layout = *forced;
    options->sources = paths;
    return;
  }
  if (paths.size() != 2) {
    throw CLI::ValidationError("expected SOURCE and DEST, or -o DIR for a batch; got " +
                               std::to_string(paths.size()) + " file names");
  }
  options->sources = {paths[0]};
  options->destination = paths[1];
  const std::optional<TarveloLayout> layout = forced ? forced : LayoutFromDestination(paths[1]);
  if (!layout) {
    throw CLI::ValidationError("cannot tell the layout from '" + paths[1] +
                               "': name it .tga or .bmp, or use --to tga|bmp");
  }
  options->layout = *layout;
}

}  // namespace

CommandLine ParseCommandLine(int argc, char** argv) {
  CLI::App app(kDescription, "tarvelo-convert");
  app.formatter(std::make_shared<ToolFormatter>());
  app.footer(kFooter);
  app.set_version_flag("--version", std::string("tarvelo-convert ") + ToolVersion(),
                       "Print the version and exit");
  app.failure_message([](const CLI::App* /*app*/, const CLI::Error& error) {
    return std::string("tarvelo-convert: ") + error.what() + " (see --help)\n";
  });

  Options options;
  options.jobs = CoreCount();
  std::vector<std::string> paths;
  std::string forced_layout;
  app.add_option("SOURCE", paths, "SOURCE DEST, or the SOURCE files of a batch")->required();
  app.add_option("--to", forced_layout, "Output layout; overrides DEST's extension; required with -o")
      ->option_text("tga|bmp")
      ->check(CLI::IsMember({"tga", "bmp"}, CLI::ignore_case));
  app.add_option("-o,--output-dir", options.output_directory,
                 "Batch: write DIR/<stem>.tga|bmp for each SOURCE (DIR must exist)")
      ->option_text("DIR")
      ->check(CLI::ExistingDirectory);
  app.add_option("-j,--jobs", options.jobs,
                 "Batch: files converted at once (default: the number of cores, " +
                     std::to_string(options.jobs) + " here)")
      ->option_text("N")
      ->check(CLI::Range(std::size_t{1}, kMaxJobs));
  app.add_option("--timeout", options.timeout_seconds,
                 "Time limit per file in seconds, 1 to 86400 (default: " +
                     std::to_string(kDefaultTimeoutSeconds) + ")")
      ->option_text("SECONDS")
      ->check(CLI::Range(1U, kMaxTimeoutSeconds));

  try {
    app.parse(argc, argv);
    Resolve(paths, forced_layout, &options);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return {std::nullopt, code == 0 ? 0 : kUsageError};
  }
  return {std::move(options), 0};
}

}  // namespace tarvelo::cli
