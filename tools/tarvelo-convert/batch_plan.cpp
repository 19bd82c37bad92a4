#include "batch_plan.h"

#include <filesystem>
#include <map>

#include "platform.h"

namespace tarvelo::cli {

namespace {

// Names are UTF-8 bytes: a path made from a narrow string would read them in the
// ANSI code page on Windows.
std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Of(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

}  // namespace

bool OutputExists(const std::string& path) { return PathExists(path); }

std::vector<PlannedConversion> PlanBatch(const std::vector<std::string>& sources,
                                         const std::string& output_directory, TarveloLayout layout,
                                         const std::string& extension, bool skip_existing) {
  namespace fs = std::filesystem;
  std::vector<PlannedConversion> plan;
  plan.reserve(sources.size());
  std::map<std::string, const std::string*> claimed;  // destination -> source writing it
  for (const std::string& source : sources) {
    PlannedConversion entry;
    entry.job.source = source;
    entry.job.layout = layout;
    const fs::path name = PathOf(source).filename();
    if (name.empty() || name == "." || name == "..") {
      entry.refusal = "no file name to name the output after";
    } else {
      entry.job.destination = Utf8Of(PathOf(output_directory) / name.stem()) + extension;
      const auto [earlier, fresh] = claimed.emplace(entry.job.destination, &source);
      if (!fresh) {
        entry.refusal = "not converted: " + *earlier->second + " already writes " + entry.job.destination;
      } else if (skip_existing && OutputExists(entry.job.destination)) {
        entry.skipped_existing = true;
      }
    }
    plan.push_back(std::move(entry));
  }
  return plan;
}

}  // namespace tarvelo::cli
