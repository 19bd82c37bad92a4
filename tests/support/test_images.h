#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvelo::test {

// Pixels as the decoder delivers them: interleaved, top row first, no row gaps.
struct Image {
  int width = 0;
  int height = 0;
  int channels = 0;
  std::vector<uint8_t> pixels;

  [[nodiscard]] const uint8_t* Pixel(int x, int y) const {
    return pixels.data() + (static_cast<std::size_t>(y) * width + x) * channels;
  }
};

// An "F" in red on blue (no rotational or mirror symmetry, so flips and red/blue
// swaps show), with varied alpha (0, 1, 127, 128, 254, 255 and more) where the
// channel count has alpha. Grey images use distinct values per position.
Image MakeTestImage(int width, int height, int channels);

// What a 24-bit BMP of `image` must hold per pixel: blue, green, red after
// flattening against magenta; computed independently of the library.
void ExpectedBmpPixel(const Image& image, int x, int y, uint8_t out[3]);

}  // namespace tarvelo::test
