#pragma once

#include <string>
#include <vector>

#include "conversion_job.h"

namespace tarvelo::cli {

// A batch entry: the job, or why it is not run at all.
struct PlannedConversion {
  ConversionJob job;
  std::string refusal;            // empty: run the job
  bool skipped_existing = false;  // --skip-existing and the output is there: leave it
};

// One entry per source, in order, writing `output_directory`/<stem><extension>.
// Sources that would write the same file as an earlier one (same stem) are refused
// rather than allowed to overwrite it, as are names without a stem ("..", "dir/").
// With `skip_existing`, an entry whose output already exists (any kind of file, also
// a dangling symbolic link) is marked as skipped; it still claims its stem.
std::vector<PlannedConversion> PlanBatch(const std::vector<std::string>& sources,
                                         const std::string& output_directory, TarveloLayout layout,
                                         const std::string& extension, bool skip_existing = false);

// Whether something exists at `path` (not following a final symbolic link).
bool OutputExists(const std::string& path);

}  // namespace tarvelo::cli
