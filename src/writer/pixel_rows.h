#pragma once

#include <cstddef>
#include <cstdint>

#include "writer/byte_sink.h"

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

// How pixels are laid out in the output stream, whose rows go bottom-up (the last
// row first) and whose colour goes blue first (d[2], d[1], d[0]).
struct PixelStreamParams {
  bool keep_alpha = false;  // alpha after the colour; without it RGBA is flattened
  int row_pad = 0;          // zero bytes after every row, 0 to 3
};

// The background that RGBA pixels are flattened against when no alpha is written.
inline constexpr uint8_t kBackgroundRed = 255;
inline constexpr uint8_t kBackgroundGreen = 0;
inline constexpr uint8_t kBackgroundBlue = 255;

// Writes the image's pixel rows. Per pixel: colour[3] [alpha], where grey (1 or 2
// channels) repeats d[0] three times, the alpha byte is the pixel's last channel,
// and a 4-channel pixel without kept alpha is flattened against the background:
// p = bg + ((d - bg) * alpha) / 255, truncating toward zero.
// A height of 0 writes nothing; a width of 0 writes just the pad of every row.
// The pixel routine is chosen once per image, not per pixel; it uses the
// processor's vector blocks where the build has them (SSE2 on x86-64, NEON on ARM;
// none in the TARVELO_PORTABLE_PIXELS build). Channel counts outside 1-4 and
// negative sizes write nothing.
void EmitPixelRows(ByteSink& sink, const PixelStreamParams& params, const DecodedImage& image) noexcept;

// The number of bytes EmitPixelRows writes for this image.
uint64_t PixelRowsSize(const PixelStreamParams& params, const DecodedImage& image) noexcept;

}  // namespace tarvelo
