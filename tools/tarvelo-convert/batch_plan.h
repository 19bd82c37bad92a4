#pragma once

#include <string>
#include <vector>

#include "conversion_job.h"

namespace tarvelo::cli {

// What decides where a batch writes each source.
struct BatchRules {
  std::string output_directory;  // -o, as given
  TarveloLayout layout = TARVELO_LAYOUT_TGA;
  std::string extension;   // ".tga" or ".bmp"
  bool recursive = false;  // -r: a directory SOURCE stands for the image files below it
  bool parents = false;    // --parents: each SOURCE's own path is kept below -o
};

// A batch entry: the job, or why it is not run at all.
struct PlannedConversion {
  ConversionJob job;     // destination: the output directory, "/" and `relative`
  std::string relative;  // the destination below the output directory ("a/b/x.tga")
  std::string refusal;   // empty: run the job
  bool skipped = false;  // --skip-existing or --update leave the output alone
};

struct BatchPlan {
  std::vector<PlannedConversion> entries;
  std::string collision;  // non-empty: two sources would write one file, and which
};

// One entry per source, in order, a directory SOURCE under -r giving the files
// below it whose names end in one of the decoder's extensions (links to
// directories not followed), sorted. A source writes <stem><extension> in the output
// directory; under -r, in the directories that lead to it from its SOURCE; with
// --parents, in its own path (leading "/" and "." dropped, ".." refused). Names
// without a stem ("..", "dir/") and, without -r, directories are refused.
BatchPlan PlanBatch(const std::vector<std::string>& sources, const BatchRules& rules);

// The directories of `relative` ("a/b" for "a/b/x.tga"), empty for none.
std::string DirectoriesOf(const std::string& relative);

// Whether a job's output is left alone: with `skip_existing` when anything is at
// its destination (also a dangling link), with `update` when it is no older than
// its source.
bool LeftAlone(const ConversionJob& job, bool skip_existing, bool update);

}  // namespace tarvelo::cli
