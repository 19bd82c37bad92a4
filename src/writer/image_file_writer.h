#pragma once

#include <cstdint>
#include <span>

#include "writer/decoded_image.h"
#include "writer/pixel_rows.h"
#include "writer/write_failure.h"

namespace tarvelo {

// Writes one image file: the header given by `field_template` and its `values`
// (see EmitFields), then the pixel rows (see EmitPixelRows). The destination is
// replaced only when every byte is written (see DestinationFile).
//
// Returns 1 when the file was written in full, 0 otherwise; `failure`, when given,
// says which step failed.
int WriteImageFile(const char* destination_path, const PixelStreamParams& params, const DecodedImage& image,
                   const char* field_template, std::span<const int32_t> values,
                   WriteFailure* failure = nullptr) noexcept;

}  // namespace tarvelo
