#pragma once

// A layout written to a file through the writer's one entry, as the conversion
// does: plan, then write the plan to the destination file. Header-only: for tests
// that link the library's internals.
#include "writer/destination_file.h"
#include "writer/layouts.h"
#include "writer/outputs.h"
#include "writer/pixel_rows.h"

namespace tarvelo::test {

// 1 when written; 0 with `failure` (kTooLarge when the layout refuses the image).
inline int WriteLayoutFile(Layout layout, const char* path, const DecodedImage& image,
                           WriteFailure* failure = nullptr) {
  WriteFailure local;
  WriteFailure& outcome = failure != nullptr ? *failure : local;
  LayoutPlan plan;
  if (!FindLayout(static_cast<int>(layout))->plan(image, plan)) {
    outcome = {WriteFailureKind::kTooLarge, 0};
    return 0;
  }
  DestinationFile output(path);
  return WritePlan(plan, image, output, &outcome);
}

inline int WriteTgaFile(const char* path, const DecodedImage& image, WriteFailure* failure = nullptr) {
  return WriteLayoutFile(Layout::kTga, path, image, failure);
}

inline int WriteBmpFile(const char* path, const DecodedImage& image, WriteFailure* failure = nullptr) {
  return WriteLayoutFile(Layout::kBmp, path, image, failure);
}

}  // namespace tarvelo::test
