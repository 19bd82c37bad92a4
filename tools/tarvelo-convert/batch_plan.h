#pragma once

#include <string>
#include <vector>

#include "conversion_job.h"

namespace tarvelo::cli {

// A batch entry: the job, or why it is not run at all.
struct PlannedConversion {
  ConversionJob job;
  std::string refusal;  // empty: run the job
};

// One entry per source, in order, writing `output_directory`/<stem>.tga|.bmp.
// Sources that would write the same file as an earlier one (same stem) are refused
// rather than allowed to overwrite it, as are names without a stem ("..", "dir/").
std::vector<PlannedConversion> PlanBatch(const std::vector<std::string>& sources,
                                         const std::string& output_directory, TarveloLayout layout);

}  // namespace tarvelo::cli
