#include "options.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TarveloVersion.h"
#include "batch_plan.h"
#include "fd_io.h"
#include "platform.h"

namespace tarvelo::cli {
namespace {

constexpr int kUsageError = 2;
constexpr std::size_t kMaxJobs = 1024;
constexpr unsigned kMaxTimeoutSeconds = 86400;

// Which names mean which layout is the library's to say (TarveloLayoutFromName):
// the tool keeps no list of its own. None when the library knows no layout by the
// name of `destination`.
std::optional<TarveloLayout> LayoutFromDestination(const std::string& destination) {
  TarveloLayout layout = TARVELO_LAYOUT_TGA;
  return TarveloLayoutFromName(destination.c_str(), &layout) == TARVELO_STATUS_CONVERTED
             ? std::optional(layout)
             : std::nullopt;
}

// --to NAME: a name the library takes (".tga", "out.BMP"), or a bare extension
// ("tga", any case) taken as the file name extension it is.
std::optional<TarveloLayout> LayoutFromName(const std::string& name) {
  const std::optional<TarveloLayout> layout = LayoutFromDestination(name);
  return layout ? layout : LayoutFromDestination("." + name);
}

void Warn(const std::string& warning) {
  (void)std::fprintf(stderr, "tarvelo-convert: warning: %s\n", warning.c_str());
}

// The tool has two forms that CLI11's generated usage line cannot express; the
// usage comes first and the description explains the positionals.
class ToolFormatter : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App* app, std::string /*name*/) const override {
    return "Usage: tarvelo-convert [OPTIONS] SOURCE DEST\n"
           "       tarvelo-convert [OPTIONS] --to tga|bmp -o DIR SOURCE...\n"
           "       tarvelo-convert [OPTIONS] --to tga|bmp -o DIR --files-from FILE\n\n" +
           app->get_description();
  }
  std::string make_description(const CLI::App* /*app*/) const override { return ""; }
  std::string make_positionals(const CLI::App* /*app*/) const override { return ""; }
};

std::string Description() {
  return std::string(
             "Converts images into uncompressed TGA or 24-bit BMP files.\n"
             "\n"
             "Single file: SOURCE is converted into DEST. DEST's extension (.tga or .bmp, any case)\n"
             "chooses the layout; --to names it for other names. SOURCE '-' reads standard input; DEST '-'\n"
             "(or /dev/stdout) writes standard output and needs --to. Nothing is written to\n"
             "standard output unless the source decoded. A pipe cannot be taken back: if writing\n"
             "to it fails part way (a full disk), the reader has received a short stream and the\n"
             "tool exits with status 1. A reader that goes away (| head -c 10) ends the tool as\n"
             "it ends any filter, quietly, by SIGPIPE (status 141 in the shell; 1 on Windows).\n"
             "\n"
             "Batch (-o DIR): each SOURCE is converted into DIR/<stem>.tga or DIR/<stem>.bmp, the\n"
             "stem being SOURCE's file name without its last extension; with -r a directory SOURCE\n"
             "stands for the image files below it (chosen by their extensions; links to directories\n"
             "not followed), written into the same tree under DIR; with --parents each SOURCE keeps\n"
             "its own path under DIR, as cp --parents does. Both create the directories they need.\n"
             "Two sources that would write one output stop the batch before anything is written.\n"
             "DIR is opened once: the batch writes only below it, whatever is renamed meanwhile.\n"
             "Several files are converted at once (-j), failures do not stop the batch, progress is\n"
             "shown while stderr is a terminal, and a summary line ends the run. Interrupted\n"
             "(SIGINT, SIGTERM), the batch hands out no more files, lets those being converted\n"
             "finish for up to ") +
         std::to_string(kInterruptGraceSeconds) +
         " s, then stops the rest\n"
         "(leaving no partial file), prints the summary with the files not done and exits\n"
         "with 130 or 143.\n"
         "\n"
         "Streams: standard output carries the image (DEST '-'; never a terminal unless -f), or\n"
         "else the -v and --dry-run lines and the summary; standard error carries failures,\n"
         "warnings and the progress line, and the -v lines and summary when stdout carries the\n"
         "image.\n"
         "\n"
         "SOURCE may be any format the decoder reads (JPEG, PNG, BMP, TGA, GIF, PSD, PIC, PNM,\n"
         "Radiance HDR), recognised by its contents. A destination is written in full or not at\n"
         "all: on failure no file is created and an existing one keeps its bytes, except one\n"
         "that can only be overwritten in place (its directory takes no new file).\n";
}

const char* const kFooter =
    "Layouts:\n"
    "  tga  uncompressed true-colour TGA, 24 bits per pixel, or 32 with alpha (grey+alpha,\n"
    "       RGBA); grey is stored as three equal bytes\n"
    "  bmp  uncompressed 24-bit BMP; alpha is flattened against magenta (grey+alpha: dropped)\n"
    "\n"
    "Isolation: each file of a batch is converted in a worker process, with a time limit\n"
    "(--timeout, 120 s unless set); a single file in the tool's own process, with a time\n"
    "limit only when --timeout is given. A file whose decoder crashes or runs past the\n"
    "limit fails with \"decoder crashed (signal N)\" or \"timed out after N s\"; the other\n"
    "files of a batch go on.\n"
    "\n"
    "Each failure is one line on stderr: \"tarvelo-convert: FILE: REASON\".\n"
    "Put -- before sources whose names begin with '-'.\n"
    "\n"
    "Exit status: 0 every file converted (or skipped), 1 some file failed, the run could\n"
    "not start (two sources for one output, stdout a terminal) or the output could not\n"
    "be written, 2 usage error, 130 or 143 interrupted by SIGINT or SIGTERM.\n";

// A usage error, reported in the tool's words.
using Usage = CLI::ValidationError;

struct Parsed {
  std::vector<std::string> paths;
  std::optional<std::string> forced_layout;  // --to, maybe empty
  std::string files_from;
  bool null_separated = false;
  bool quiet = false;
  bool verbose = false;
  std::string jobs;
  std::string timeout;
  std::string max_pixels;
};

// A count option's value (`unset` when it is not given), in the tool's words when
// it is none.
uint64_t CountOf(const std::string& text, const char* option, const char* what, uint64_t most,
                 uint64_t unset) {
  if (text.empty()) {
    return unset;
  }
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);  // digits only, no sign
  if (error != std::errc() || at != end || value < 1 || value > most) {
    throw Usage(std::string(option) + " takes " + what + " from 1 to " + std::to_string(most) + ", not '" +
                text + "'");
  }
  return value;
}

// The paths of a --files-from list ("-": standard input): one a line, a line's
// trailing carriage return part of its end (CR LF, as Windows writes lists), or
// separated by NUL bytes (find -print0, for names that hold a newline). Empty
// entries are skipped.
std::vector<std::string> ReadFileList(const std::string& list_path, bool null_separated) {
  const std::string failure = "cannot read the list " + list_path + ": ";
  const int fd = list_path == kStdio ? 0 : OpenForReading(list_path);
  if (fd < 0) {
    throw Usage(failure + std::strerror(errno));
  }
  const std::optional<std::string> text = ReadAll(fd);
  const int error = errno;
  if (fd != 0) {
    (void)close(fd);
  }
  if (!text && (error == EFBIG || error == ENOMEM)) {
    // Not a usage error: the command was right, its input too much to read.
    (void)std::fprintf(stderr, "tarvelo-convert: %s%s\n", failure.c_str(),
                       error == EFBIG ? kTooLargeInput : std::strerror(error));
    std::exit(1);
  }
  if (!text) {
    throw Usage(failure + std::strerror(error));
  }
  const char separator = null_separated ? '\0' : '\n';
  std::vector<std::string> paths;
  for (std::size_t start = 0, end = 0; start < text->size(); start = end + 1) {
    end = std::min(text->find(separator, start), text->size());
    const bool cr = !null_separated && end > start && (*text)[end - 1] == '\r';
    if (end - start > (cr ? 1U : 0U)) {
      paths.emplace_back(*text, start, end - start - (cr ? 1 : 0));
    }
  }
  return paths;
}

void ResolveBatch(const Parsed& parsed, Options* options) {
  options->sources = parsed.paths;
  if (!parsed.files_from.empty()) {
    const std::vector<std::string> listed = ReadFileList(parsed.files_from, parsed.null_separated);
    options->sources.insert(options->sources.end(), listed.begin(), listed.end());
  } else if (options->sources.empty()) {
    throw Usage("no SOURCE given for the batch (name files, or use --files-from FILE)");
  }
  if (std::find(parsed.paths.begin(), parsed.paths.end(), kStdio) != parsed.paths.end()) {
    throw Usage("'-' (standard input) can only be the SOURCE of a single conversion");
  }
  if (options->sources.size() == 2 && parsed.files_from.empty() && !options->recursive) {
    const std::string& second = options->sources[1];
    if (LayoutFromDestination(second) && !PathExists(second)) {
      Warn("-o makes every name a SOURCE: " + second +
           " is read, not written; without -o, SOURCE DEST converts one file");
    }
  }
}

void ResolveSingle(const Parsed& parsed, const std::optional<TarveloLayout>& forced, Options* options) {
  if (!parsed.files_from.empty() || options->recursive || options->parents) {
    throw Usage(std::string(!parsed.files_from.empty() ? "--files-from"
                            : options->recursive       ? "-r"
                                                       : "--parents") +
                " needs -o DIR, the directory to write into");
  }
  if (parsed.paths.empty()) {
    throw Usage("no SOURCE given");
  }
  if (parsed.paths.size() != 2) {
    throw Usage("expected SOURCE and DEST, or -o DIR for a batch; got " +
                std::to_string(parsed.paths.size()) + " file name" + (parsed.paths.size() == 1 ? "" : "s"));
  }
  options->sources = {parsed.paths[0]};
  options->destination = parsed.paths[1] == "/dev/stdout" ? kStdio : parsed.paths[1];
  if (options->destination == kStdio && !forced) {
    throw Usage("writing to standard output needs --to tga or --to bmp");
  }
  const std::string& dest = parsed.paths[1];
  const std::optional<TarveloLayout> named = LayoutFromDestination(dest);
  const std::optional<TarveloLayout> layout = forced ? forced : named;
  if (!layout && (IsDirectory(dest) || dest.back() == '/')) {
    throw Usage(dest + " is a directory: to write into it use -o " + dest +
                " --to tga|bmp SOURCE...; SOURCE DEST names the file to write");
  }
  if (!layout) {
    throw Usage("cannot tell the layout from '" + dest + "': name it .tga or .bmp, or use --to tga|bmp");
  }
  if (named.value_or(*layout) != *layout) {
    throw Usage("--to " + *parsed.forced_layout + " would write another layout than " + dest +
                "'s extension says: drop --to, or name the file for the layout");
  }
  options->layout = *layout;
  if (!parsed.jobs.empty()) {
    Warn("-j has no effect on a single conversion (SOURCE DEST)");
  }
}

// -o must name a directory that exists, unless -r or --parents may make it. Checked
// here rather than by CLI11, which cannot see the sources: "-o out.tga" with one
// source is a compiler's habit for naming the output file, and gets a word on how
// to do that.
void CheckOutputDirectory(const Parsed& parsed, const Options& options) {
  const std::string& directory = options.output_directory;
  if (IsDirectory(directory)) {
    return;
  }
  if (parsed.paths.size() == 1 && parsed.files_from.empty() && LayoutFromDestination(directory)) {
    throw Usage("-o names an output directory; to convert one file give SOURCE DEST");
  }
  if (PathExists(directory)) {
    throw Usage("-o " + directory + " is a file, not a directory: name a directory to write into");
  }
  if (!options.recursive && !options.parents) {
    throw Usage("-o " + directory + ": no such directory; create it (mkdir -p " + directory +
                "), or let -r or --parents create it");
  }
}

// Settles the mode and the layout; throws CLI::ValidationError on a usage error.
void Resolve(const Parsed& parsed, Options* options) {
  if (parsed.quiet && parsed.verbose) {
    throw Usage("-q and -v cannot be used together");
  }
  options->verbosity = parsed.quiet     ? Verbosity::kQuiet
                       : parsed.verbose ? Verbosity::kVerbose
                                        : Verbosity::kNormal;
  if (parsed.null_separated && parsed.files_from.empty()) {
    throw Usage("-0 (--null) only applies to --files-from FILE");
  }
  // --to takes whatever layout names the library knows.
  const std::optional<TarveloLayout> forced =
      parsed.forced_layout ? LayoutFromName(*parsed.forced_layout) : std::nullopt;
  if (parsed.forced_layout && !forced) {
    throw Usage("--to: no layout is called '" + *parsed.forced_layout + "' (tga, bmp)");
  }
  if (options->skip_existing && options->update) {
    throw Usage("--skip-existing and --update cannot be used together");
  }
  options->batch = !options->output_directory.empty();
  options->jobs = CountOf(parsed.jobs, "-j (--jobs)", "a number of files", kMaxJobs, options->jobs);
  options->time_limit =
      std::chrono::seconds(CountOf(parsed.timeout, "--timeout", "seconds", kMaxTimeoutSeconds,
                                   options->batch ? kDefaultTimeoutSeconds : 0));
  options->max_pixels = CountOf(parsed.max_pixels, "--max-pixels", "a number of pixels", UINT64_MAX, 0);
  if (!options->batch) {
    ResolveSingle(parsed, forced, options);
    return;
  }
  CheckOutputDirectory(parsed, *options);
  if (!forced.has_value()) {
    throw Usage("a batch (-o DIR) needs --to tga or --to bmp");
  }
  options->layout = *forced;
  // NAME's own extension, or NAME itself, with its dot: ".tga" for "TGA" and for "x.tga".
  const std::string& name = *parsed.forced_layout;
  options->output_extension = Lowercase("." + name.substr(name.rfind('.') + 1));  // npos + 1 is 0
  ResolveBatch(parsed, options);
}

}  // namespace

Options ParseCommandLine(std::vector<std::string> arguments) {
  CLI::App app(Description(), "tarvelo-convert");
  app.formatter(std::make_shared<ToolFormatter>());
  app.footer(kFooter);
  app.allow_extras();
  // The library's own version: the tool shows the version of what does the work.
  app.set_version_flag("--version", std::string("tarvelo-convert ") + TarveloGetVersionText(),
                       "Print the version and exit");
  app.failure_message([](const CLI::App* /*app*/, const CLI::Error& error) {
    std::string text = error.what();
    if (error.get_name() == "ArgumentMismatch") {  // "--to: 1 required TEXT missing", "At Most 1..."
      const bool missing = text.ends_with("missing");
      text =
          text.substr(0, text.find(':')) + (missing ? " needs a value after it" : " is given more than once");
    }
    return "tarvelo-convert: " + text + " (see --help)\n";
  });

  Options options;
  options.jobs = CoreCount();
  Parsed parsed;
  app.add_option("SOURCE", parsed.paths, "SOURCE DEST, or the SOURCE files of a batch");
  app.add_option("--to", parsed.forced_layout,
                 "Output layout, for a DEST not named .tga or .bmp; required with -o and for DEST '-'")
      ->option_text("tga|bmp");
  app.add_option("-o,--output-dir", options.output_directory,
                 "Batch: write DIR/<stem>.tga|bmp for each SOURCE (DIR must exist unless -r or --parents)")
      ->option_text("DIR");
  app.add_flag("-r,--recursive", options.recursive,
               "Batch: a directory SOURCE stands for the image files below it, its tree kept under DIR");
  app.add_flag("--parents", options.parents, "Batch: keep each SOURCE's own path under DIR, as cp --parents");
  app.add_option("--files-from", parsed.files_from,
                 "Batch: also convert the files listed in FILE, one a line ('-': standard input)")
      ->option_text("FILE");
  app.add_flag("-0,--null", parsed.null_separated,
               "The --files-from list is separated by NUL bytes (find -print0)");
  app.add_flag("--skip-existing", options.skip_existing,
               "Leave outputs that already exist alone; they are counted as skipped");
  app.add_flag("--update", options.update,
               "Convert only where the output is missing or older than its source; others are skipped");
  app.add_flag("-n,--dry-run", options.dry_run,
               "Print what would be converted to where and every refusal; write nothing");
  app.add_flag("-f,--force", options.force,
               "Write image bytes to standard output even when it is a terminal");
  app.add_option("-j,--jobs", parsed.jobs,
                 "Batch: files converted at once, 1 to 1024 (default: the number of cores, " +
                     std::to_string(options.jobs) + " here)")
      ->option_text("N");
  app.add_option("--timeout", parsed.timeout,
                 "Time limit per file in seconds, 1 to 86400 (default: " +
                     std::to_string(kDefaultTimeoutSeconds) + " in a batch, none for SOURCE DEST)")
      ->option_text("SECONDS");
  app.add_option("--max-pixels", parsed.max_pixels,
                 "Largest source to decode, in pixels (width x height); default: the library's cap")
      ->option_text("N");
  app.add_flag("-q,--quiet", parsed.quiet, "Report failures only (no progress, no summary)");
  app.add_flag("-v,--verbose", parsed.verbose, "Also report each file converted or skipped");

  try {
    std::reverse(arguments.begin(), arguments.end());  // as CLI11 takes them
    app.parse(std::move(arguments));
    // Unknown options first: CLI11 would otherwise complain about a missing operand
    // and leave the real mistake unnamed.
    for (const std::string& extra : app.remaining()) {
      if (extra.size() > 1 && extra.front() == '-' && extra != "--") {
        throw Usage("unknown option " + extra);
      }
    }
    Resolve(parsed, &options);
  } catch (const CLI::ParseError& error) {
    if (app.exit(error) != 0) {
      std::exit(kUsageError);
    }
    // --help or --version: a failed write (a full disk, a closed pipe) must not look
    // like success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
      (void)std::fprintf(stderr, "tarvelo-convert: cannot write to standard output: %s\n",
                         std::strerror(errno != 0 ? errno : EIO));
      std::exit(1);
    }
    std::exit(0);
  }
  return options;
}

}  // namespace tarvelo::cli
