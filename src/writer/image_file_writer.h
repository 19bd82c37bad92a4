#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "writer/byte_output.h"
#include "writer/decoded_image.h"
#include "writer/pixel_rows.h"
#include "writer/write_failure.h"

namespace tarvelo {

// How one write may run. By default it runs on the calling thread alone and takes
// no lock; allowing threads lets a large image be written by a helper thread while
// its pixels are converted (see ByteSink). The bytes are the same either way.
struct WriteSettings {
  bool allow_threads = false;
};

// Everything the writer needs to write one image, settled before the first byte
// goes out: the header's field template and values (see EmitFields), the
// pixel-stream parameters (see EmitPixelRows), and the size of what they make.
struct LayoutPlan {
  static constexpr size_t kMaxFields = 32;

  const char* field_template = nullptr;
  std::array<int32_t, kMaxFields> value_storage = {};
  size_t value_count = 0;
  PixelStreamParams params;
  uint64_t file_size = 0;

  [[nodiscard]] std::span<const int32_t> values() const noexcept {
    return {value_storage.data(), value_count};
  }
};

// Plans a header of `field_template` and `values` followed by the image's pixel
// rows under `params`, and sets the plan's file size from them. False (nothing
// planned) when there are more values than a plan holds.
bool PlanImage(const char* field_template, std::span<const int32_t> values, const PixelStreamParams& params,
               const DecodedImage& image, LayoutPlan& plan) noexcept;

// The writer's one entry: writes the planned header and pixel rows to `output`,
// which is told the size first (ByteOutput::Begin) and the end last
// (ByteOutput::Finish). A refusal of the output ends the write: nothing more
// reaches it.
//
// Returns 1 when every byte was written and the output finished, 0 otherwise;
// `failure`, when given, says which step failed.
int WritePlan(const LayoutPlan& plan, const DecodedImage& image, ByteOutput& output,
              WriteFailure* failure = nullptr, const WriteSettings& settings = {}) noexcept;

}  // namespace tarvelo
