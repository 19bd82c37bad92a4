#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvelo {

// A decoded image as the decoder delivers it: 8 bits per channel, channels
// interleaved per pixel (1 grey, 2 grey+alpha, 3 RGB, 4 RGBA), rows packed without
// gaps, top row first. The writer only reads it.
struct DecodedImage {
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;
  const uint8_t* pixels = nullptr;
};

}  // namespace tarvelo
