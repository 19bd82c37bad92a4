#include "batch_plan.h"

#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "layout_choice.h"

namespace tarvelo::cli {

bool OutputExists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

std::vector<PlannedConversion> PlanBatch(const std::vector<std::string>& sources,
                                         const std::string& output_directory, TarveloLayout layout,
                                         bool skip_existing) {
  namespace fs = std::filesystem;
  std::vector<PlannedConversion> plan;
  plan.reserve(sources.size());
  std::map<std::string, const std::string*> claimed;  // destination -> source writing it
  for (const std::string& source : sources) {
    PlannedConversion entry;
    entry.job.source = source;
    entry.job.layout = layout;
    const fs::path name = fs::path(source).filename();
    if (name.empty() || name == "." || name == "..") {
      entry.refusal = "no file name to name the output after";
    } else {
      entry.job.destination = (fs::path(output_directory) / name.stem()).string() + ExtensionOf(layout);
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
