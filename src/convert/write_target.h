#pragma once

#include <cstddef>

#include "writer/byte_output.h"
#include "writer/decoded_image.h"
#include "writer/image_file_writer.h"
#include "writer/output_layouts.h"
#include "writer/write_failure.h"

namespace tarvelo {

// Where a conversion's output goes: a file path, a caller's function, or a new
// buffer (handed over through `buffer` and `buffer_size`).
struct Target {
  const char* path = nullptr;
  CallbackOutput::Function function = nullptr;
  void* context = nullptr;
  void** buffer = nullptr;
  size_t* buffer_size = nullptr;
};

// The pipeline's last step: plans `image` in the layout once, then writes the plan
// to the target's output. Everything that can be refused is refused before the
// first byte goes out; a buffer is allocated (with malloc) at the planned size and
// handed to the target only when it is complete. True when written; otherwise
// `failure` says why (kTooLarge: see the layout's too_large).
bool WriteToTarget(const DecodedImage& image, const LayoutEntry& layout, const Target& target,
                   const WriteSettings& settings, WriteFailure& failure) noexcept;

}  // namespace tarvelo
