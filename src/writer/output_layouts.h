#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "writer/byte_output.h"
#include "writer/decoded_image.h"
#include "writer/image_file_writer.h"
#include "writer/pixel_rows.h"
#include "writer/write_failure.h"

namespace tarvelo {

// Largest side the TGA header's 16-bit width and height fields can hold.
inline constexpr int32_t kTgaMaxSide = 65535;

// One layout's call of the writer for one image: the header template and its
// values, the pixel-stream parameters, and the size of the file they make.
struct LayoutPlan {
  const char* field_template = nullptr;
  std::array<int32_t, 17> value_storage = {};
  size_t value_count = 0;
  PixelStreamParams params;
  uint64_t file_size = 0;

  [[nodiscard]] std::span<const int32_t> values() const noexcept {
    return {value_storage.data(), value_count};
  }
};

// Uncompressed true-colour TGA (type 2): 24 bits per pixel for 1 and 3 channels,
// 32 bits (alpha after blue, green, red) for 2 and 4. Rows bottom-up, no footer.
// False (nothing planned) for an image with a side over 65535.
bool PlanTgaFile(const DecodedImage& image, LayoutPlan& plan) noexcept;

// Uncompressed 24-bit BMP with a 40-byte information header, rows bottom-up and
// padded to four bytes; RGBA flattened against magenta, grey alpha dropped.
// False (nothing planned) for an image whose file size does not fit the header's
// 32-bit field.
bool PlanBmpFile(const DecodedImage& image, LayoutPlan& plan) noexcept;

// Write the planned layout to a file. Refuse (return 0, write nothing, kTooLarge)
// an image that does not fit the layout.
int WriteTgaFile(const char* destination_path, const DecodedImage& image, WriteFailure* failure = nullptr,
                 const WriteSettings& settings = {}) noexcept;
int WriteBmpFile(const char* destination_path, const DecodedImage& image, WriteFailure* failure = nullptr,
                 const WriteSettings& settings = {}) noexcept;

}  // namespace tarvelo
