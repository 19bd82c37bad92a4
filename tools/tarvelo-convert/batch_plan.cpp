#include "batch_plan.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <string_view>
#include <system_error>

#include "TarveloConvert.h"
#include "platform.h"

namespace tarvelo::cli {
namespace {

namespace fs = std::filesystem;

// Names are UTF-8 bytes: a path made from a narrow string would read them in the
// ANSI code page on Windows.
fs::path PathOf(const std::string& utf8) { return {std::u8string(utf8.begin(), utf8.end())}; }

std::string Utf8Of(const fs::path& path) {
  const std::u8string text = path.generic_u8string();
  return {text.begin(), text.end()};
}

// Whether a file's name ends in one of the decoder's extensions, in any case.
bool HasImageExtension(const fs::path& name) {
  std::string extension = Utf8Of(name.extension()) + " ";
  for (char& c : extension) {
    c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return extension.size() > 1 &&
         std::string_view(TARVELO_SOURCE_EXTENSIONS).find(extension) != std::string::npos;
}

// The image files below `directory`, relative to it, sorted; directories that
// cannot be read are entries with their reason.
void Walk(const fs::path& directory, const fs::path& below,
          std::vector<std::pair<fs::path, std::string>>* found) {
  std::error_code error;
  std::vector<std::pair<fs::path, std::string>> here;
  for (fs::directory_iterator it(directory / below, error), end; !error && it != end; it.increment(error)) {
    const fs::file_status status = it->symlink_status(error);
    const fs::path name = below / it->path().filename();
    if (fs::is_directory(status)) {
      here.emplace_back(name, "/");  // walked below, in order
    } else if (HasImageExtension(name)) {
      here.emplace_back(name, "");
    }
  }
  if (error) {
    found->emplace_back(below, "cannot read the directory: " + error.message());
    return;
  }
  std::sort(here.begin(), here.end());
  for (auto& [name, kind] : here) {
    if (kind == "/") {
      Walk(directory, name, found);
    } else {
      found->emplace_back(std::move(name), "");
    }
  }
}

// The path a source keeps under --parents, or empty when it cannot be kept.
fs::path KeptPath(const fs::path& source) {
  const fs::path kept = source.relative_path().lexically_normal();
  return !kept.empty() && *kept.begin() == ".." ? fs::path() : kept;
}

}  // namespace

bool LeftAlone(const ConversionJob& job, bool skip_existing, bool update) {
  if (!update) {
    return skip_existing && PathExists(job.destination);
  }
  std::error_code error;
  const fs::file_time_type output = fs::last_write_time(PathOf(job.destination), error);
  return !error && output >= fs::last_write_time(PathOf(job.source), error) && !error;
}

std::string DirectoriesOf(const std::string& relative) {
  const std::size_t slash = relative.rfind('/');
  return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

BatchPlan PlanBatch(const std::vector<std::string>& sources, const BatchRules& rules) {
  BatchPlan plan;
  std::map<std::string, std::string> claimed;  // relative destination -> source writing it
  const auto add = [&](const std::string& source, const fs::path& below, std::string refusal) {
    PlannedConversion entry;
    entry.job.source = source;
    entry.job.layout = rules.layout;
    entry.refusal = std::move(refusal);
    const fs::path name = PathOf(source).filename();
    if (entry.refusal.empty() && (name.empty() || name == "." || name == "..")) {
      entry.refusal = "no file name to name the output after";
    }
    if (entry.refusal.empty()) {
      entry.relative = Utf8Of((below / name.stem()).lexically_normal()) + rules.extension;
      entry.job.destination = Utf8Of(PathOf(rules.output_directory) / PathOf(entry.relative));
      const auto [earlier, fresh] = claimed.emplace(entry.relative, source);
      if (!fresh && plan.collision.empty()) {
        plan.collision = earlier->second + " and " + source + " would both write " + entry.job.destination;
      }
    }
    plan.entries.push_back(std::move(entry));
  };
  for (const std::string& source : sources) {
    const fs::path path = PathOf(source);
    const fs::path kept = rules.parents ? KeptPath(path) : fs::path();
    if (rules.parents && kept.empty()) {
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
  return plan;
}

}  // namespace tarvelo::cli
