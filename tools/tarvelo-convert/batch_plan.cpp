#include "batch_plan.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string_view>
#include <system_error>

#include "TarveloConvert.h"
#include "platform.h"
#include "run_report.h"

namespace tarvelo::cli {

namespace fs = std::filesystem;

fs::path PathOf(const std::string& utf8) { return {std::u8string(utf8.begin(), utf8.end())}; }

bool PathExists(const std::string& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(PathOf(path), error));
}

bool IsDirectory(const std::string& path) {
  std::error_code error;
  return fs::is_directory(PathOf(path), error);
}

std::string Lowercase(std::string text) {
  for (char& c : text) {
    c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return text;
}

namespace {

std::string Utf8Of(const fs::path& path) {
  const std::u8string text = path.generic_u8string();
  return {text.begin(), text.end()};
}

// Whether a file's name ends in one of the decoder's extensions, in any case.
bool HasImageExtension(const fs::path& name) {
  const std::string extension = Lowercase(Utf8Of(name.extension()) + " ");
  return extension.size() > 1 &&
         std::string_view(TARVELO_SOURCE_EXTENSIONS).find(extension) != std::string::npos;
}

// The image files below `directory`, relative to it, sorted; directories that
// cannot be read are entries with their reason.
void Walk(const fs::path& directory, const fs::path& below,
          std::vector<std::pair<fs::path, std::string>>* found) {
  std::error_code error;
  std::vector<std::pair<fs::path, bool>> here;  // a name below `directory`, whether it is a directory
  for (fs::directory_iterator it(directory / below, error), end; !error && it != end; it.increment(error)) {
    here.emplace_back(below / it->path().filename(), fs::is_directory(it->symlink_status(error)));
  }
  if (error) {
    found->emplace_back(below, "cannot read the directory: " + error.message());
    return;
  }
  std::sort(here.begin(), here.end());
  for (const auto& [name, is_directory] : here) {
    if (is_directory) {
      Walk(directory, name, found);
    } else if (HasImageExtension(name)) {
      found->emplace_back(name, "");
    }
  }
}

// One entry per source, in order, a directory SOURCE under -r giving the files
// below it whose names end in one of the decoder's extensions (links to
// directories not followed), sorted. A source writes <stem><extension> in the output
// directory; under -r, in the directories that lead to it from its SOURCE; with
// --parents, in its own path (leading "/" and "." dropped, ".." refused). Names
// without a stem ("..", "dir/") and, without -r, directories are refused. False,
// with a line on stderr for each, when two sources would write one file.
bool PlanBatch(const Options& rules, std::vector<PlannedConversion>* entries) {
  std::vector<std::string> collisions;
  // Relative destination, in lower case -> source writing it: on FAT and NTFS volumes
  // "X.tga" and "x.tga" are one file, and the second conversion would replace the first.
  std::map<std::string, std::string> claimed;
  const auto add = [&](const std::string& source, const fs::path& below, std::string refusal) {
    PlannedConversion entry{{source, "", rules.layout, rules.max_pixels}, "", std::move(refusal)};
    const fs::path name = PathOf(source).filename();
    if (entry.refusal.empty() && (name.empty() || name == "." || name == "..")) {
      entry.refusal = "no file name to name the output after";
    }
    if (entry.refusal.empty()) {
      entry.relative = Utf8Of((below / name.stem()).lexically_normal()) + rules.output_extension;
      entry.job.destination = Utf8Of(PathOf(rules.output_directory) / PathOf(entry.relative));
      const auto [earlier, fresh] = claimed.emplace(Lowercase(entry.relative), source);
      if (!fresh) {
        collisions.push_back(earlier->second + " and " + source + " would both write " +
                             entry.job.destination);
      }
    }
    entries->push_back(std::move(entry));
  };
  for (const std::string& source : rules.sources) {
    const fs::path path = PathOf(source);
    const fs::path kept = path.relative_path().lexically_normal();  // what --parents keeps
    if (rules.parents && (kept.empty() || *kept.begin() == "..")) {
      add(source, {},
          "--parents cannot keep a path that leads out of it ('..'); name it from a directory above");
      continue;
    }
    std::error_code error;
    if (!fs::is_directory(path, error)) {
      add(source, rules.parents ? kept.parent_path() : fs::path(), "");
    } else if (!rules.recursive) {
      add(source, {}, "is a directory; use -r to convert the image files below it");
    } else {
      std::vector<std::pair<fs::path, std::string>> found;
      Walk(path, {}, &found);
      for (const auto& [name, refusal] : found) {
        add(Utf8Of(path / name), (rules.parents ? kept : fs::path()) / name.parent_path(), refusal);
      }
    }
  }
  const std::string advice =
      std::string("nothing was converted; ") +
      (rules.recursive || rules.parents
           ? "convert one of them apart"
           : "keep the sources' directories with -r or --parents, or convert them apart");
  for (const std::string& collision : collisions) {
    (void)std::fputs(FailureLine(collision, advice).c_str(), stderr);
  }
  return collisions.empty();
}

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

// Holds -o and makes the directories below it (Plan, batch_plan.h).
bool PrepareOutputDirectory(const Options& options, std::vector<PlannedConversion>* plan) {
  const std::string& named = options.output_directory;
  const auto writes = [&options](const PlannedConversion& entry) {
    std::error_code error;
    return entry.refusal.empty() && !entry.skipped &&
           (options.dry_run || fs::exists(PathOf(entry.job.source), error));
  };
  std::string held;
  if (!options.dry_run && std::any_of(plan->begin(), plan->end(), writes)) {
    std::error_code error;
    fs::create_directories(PathOf(named), error);
    held = HoldOutputDirectory(named);
    if (held.empty()) {
      const std::string why = std::string("cannot open the output directory: ") + std::strerror(errno);
      (void)std::fputs(FailureLine(named, why).c_str(), stderr);
      return false;
    }
    ShowHeldDirectoryAs(held, named.back() == '/' ? named : named + "/");
  }
  std::map<std::string, int> made;  // directory below -o -> 0 or the errno making it
  for (PlannedConversion& entry : *plan) {
    if (!entry.refusal.empty()) {
      continue;
    }
    if (!held.empty()) {
      entry.job.destination = held + entry.relative;
    }
    const std::size_t slash = entry.relative.rfind('/');
    if (slash == std::string::npos || !writes(entry)) {
      continue;
    }
    const std::string directory = entry.relative.substr(0, slash);
    const auto [it, fresh] = made.emplace(directory, 0);
    if (fresh) {
      it->second =
          options.dry_run ? CheckDirectoriesBelow(named, directory) : MakeDirectoriesBelow(directory);
    }
    if (it->second != 0) {
      entry.refusal = std::string("cannot create the directory ").append(named).append("/").append(directory);
      entry.refusal.append(": ").append(std::strerror(it->second));
    }
  }
  return true;
}

// Whether a job's output is left alone: with `skip_existing` when anything is at
// its destination (also a dangling link), with `update` when it is no older than
// its source.
bool LeftAlone(const ConversionJob& job, bool skip_existing, bool update) {
  if (!update) {
    return skip_existing && PathExists(job.destination);
  }
  std::error_code error;
  const fs::file_time_type output = fs::last_write_time(PathOf(job.destination), error);
  return !error && output >= fs::last_write_time(PathOf(job.source), error) && !error;
}

}  // namespace

std::optional<std::vector<PlannedConversion>> Plan(const Options& options) {
  std::vector<PlannedConversion> plan;
  if (!options.batch) {
    plan.push_back(
        {{options.sources.front(), options.destination, options.layout, options.max_pixels}, "", ""});
  } else if (!PlanBatch(options, &plan)) {
    return std::nullopt;
  }
  for (PlannedConversion& entry : plan) {
    entry.skipped = entry.refusal.empty() && entry.job.destination != kStdio &&
                    LeftAlone(entry.job, options.skip_existing, options.update);
  }
  if (options.batch && !PrepareOutputDirectory(options, &plan)) {
    return std::nullopt;
  }
  return plan;
}

}  // namespace tarvelo::cli
