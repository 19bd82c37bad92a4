#pragma once

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

// Writes one image file: the header given by `field_template` and its `values`
// (see EmitFields), then the pixel rows (see EmitPixelRows). The destination is
// replaced only when every byte is written (see DestinationFile).
//
// Returns 1 when the file was written in full, 0 otherwise; `failure`, when given,
// says which step failed.
int WriteImageFile(const char* destination_path, const PixelStreamParams& params, const DecodedImage& image,
                   const char* field_template, std::span<const int32_t> values,
                   WriteFailure* failure = nullptr, const WriteSettings& settings = {}) noexcept;

// The same bytes handed to `output` instead of a file. A refusal of the output
// ends the write: nothing more reaches it, and the result is 0 with kWriteFailed.
int WriteImage(ByteOutput& output, const PixelStreamParams& params, const DecodedImage& image,
               const char* field_template, std::span<const int32_t> values, WriteFailure* failure = nullptr,
               const WriteSettings& settings = {}) noexcept;

// The number of header bytes `field_template` writes with `value_count` values.
uint64_t FieldTemplateSize(const char* field_template, size_t value_count) noexcept;

}  // namespace tarvelo
