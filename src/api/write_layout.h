#pragma once

#include "writer/byte_output.h"
#include "writer/decoded_image.h"
#include "writer/image_file_writer.h"
#include "writer/output_layouts.h"
#include "writer/write_failure.h"

namespace tarvelo {

enum class Layout { kTga, kBmp };

// Writes `image` to `destination_path` in the given layout; 1 when written.
int WriteLayout(Layout layout, const char* destination_path, const DecodedImage& image, WriteFailure* failure,
                const WriteSettings& settings = {}) noexcept;

// The layout's header and parameters for `image`; false when it does not fit.
bool PlanLayout(Layout layout, const DecodedImage& image, LayoutPlan& plan) noexcept;

// Writes a planned layout to `output`; 1 when every byte was taken.
int WriteLayoutTo(const LayoutPlan& plan, ByteOutput& output, const DecodedImage& image,
                  WriteFailure* failure, const WriteSettings& settings = {}) noexcept;

}  // namespace tarvelo
