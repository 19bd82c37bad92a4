#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvelo {

// A decoded image as the decoder delivers it: 8 bits per channel, channels
// interleaved per pixel (1 grey, 2 grey+alpha, 3 RGB, 4 RGBA), top row first. Rows
// are packed without gaps unless `row_stride` says how far apart they start (a
// caller's own pixels). The writer only reads it.
struct DecodedImage {
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;
  const uint8_t* pixels = nullptr;
  size_t row_stride = 0;  // bytes from one row's start to the next; 0: width * channels
};

}  // namespace tarvelo
