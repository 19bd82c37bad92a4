#include "pixel_rows.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarvelo {
namespace {

// x / 255 for 0 <= x <= 255 * 255, without a division: exact over that whole
// range (checked below at compile time).
constexpr uint32_t Div255(uint32_t x) { return (x * 0x8081U) >> 23; }

consteval bool Div255IsExact() {
  for (uint32_t x = 0; x <= 255U * 255U; ++x) {
    if (Div255(x) != x / 255U) {
      return false;
    }
  }
  return true;
}
static_assert(Div255IsExact());

// bg + ((d - bg) * alpha) / 255 with the division truncating toward zero.
template <uint8_t Bg>
constexpr uint8_t Flatten(uint32_t d, uint32_t alpha) {
  if constexpr (Bg == 0) {
    return static_cast<uint8_t>(Div255(d * alpha));
  } else if constexpr (Bg == 255) {
    return static_cast<uint8_t>(255U - Div255((255U - d) * alpha));
  } else {
    return d >= Bg ? static_cast<uint8_t>(Bg + Div255((d - Bg) * alpha))
                   : static_cast<uint8_t>(Bg - Div255((Bg - d) * alpha));
  }
}

// Writes `count` pixels; returns the new output position.
using PixelRoutine = uint8_t* (*)(const uint8_t* src, uint8_t* dst, size_t count) noexcept;

template <int Channels, int Direction, int AlphaPlacement>
uint8_t* EmitPixels(const uint8_t* src, uint8_t* dst, size_t count) noexcept {
  constexpr int kFirst = 1 - Direction;
  constexpr int kLast = 1 + Direction;
  for (size_t i = 0; i < count; ++i, src += Channels) {
    if constexpr (AlphaPlacement < 0) {
      *dst++ = src[Channels - 1];
    }
    if constexpr (Channels <= 2) {
      dst[0] = src[0];
      dst[1] = src[0];
      dst[2] = src[0];
    } else if constexpr (Channels == 4 && AlphaPlacement == 0) {
      const std::array<uint8_t, 3> flat = {Flatten<kBackgroundRed>(src[0], src[3]),
                                           Flatten<kBackgroundGreen>(src[1], src[3]),
                                           Flatten<kBackgroundBlue>(src[2], src[3])};
      dst[0] = flat[kFirst];
      dst[1] = flat[1];
      dst[2] = flat[kLast];
    } else {
      dst[0] = src[kFirst];
      dst[1] = src[1];
      dst[2] = src[kLast];
    }
    dst += 3;
    if constexpr (AlphaPlacement > 0) {
      *dst++ = src[Channels - 1];
    }
  }
  return dst;
}

template <int Channels, int Direction>
constexpr std::array<PixelRoutine, 3> kByAlpha = {&EmitPixels<Channels, Direction, -1>,
                                                  &EmitPixels<Channels, Direction, 0>,
                                                  &EmitPixels<Channels, Direction, 1>};

template <int Channels>
constexpr std::array<std::array<PixelRoutine, 3>, 2> kByDirection = {kByAlpha<Channels, -1>,
                                                                     kByAlpha<Channels, 1>};

constexpr std::array<std::array<std::array<PixelRoutine, 3>, 2>, 4> kRoutines = {
    kByDirection<1>, kByDirection<2>, kByDirection<3>, kByDirection<4>};

PixelRoutine SelectRoutine(const PixelStreamParams& params, int channels) {
  const size_t direction = params.channel_direction > 0 ? 1 : 0;
  const size_t alpha = params.alpha_mode < 0 ? 0 : (params.alpha_mode == 0 ? 1 : 2);
  return kRoutines[static_cast<size_t>(channels - 1)][direction][alpha];
}

}  // namespace

void EmitPixelRows(ByteSink& sink, const PixelStreamParams& params, const DecodedImage& image) noexcept {
  if (image.channels < 1 || image.channels > 4 || image.width < 0 || image.height <= 0) {
    return;
  }
  const PixelRoutine routine = SelectRoutine(params, image.channels);
  const size_t out_pixel_bytes = params.alpha_mode != 0 ? 4 : 3;
  const size_t row_pad =
      params.row_pad < 0 ? 0 : (params.row_pad > 3 ? 3 : static_cast<size_t>(params.row_pad));
  const auto width = static_cast<size_t>(image.width);
  const auto channels = static_cast<size_t>(image.channels);
  const size_t row_bytes = width * channels;
  const auto height = static_cast<size_t>(image.height);

  for (size_t step = 0; step < height; ++step) {
    const size_t row = params.vertical_direction < 0 ? height - 1 - step : step;
    const uint8_t* src = image.pixels + row * row_bytes;
    size_t remaining = width;
    while (remaining > 0) {
      uint8_t* dst = sink.Reserve(out_pixel_bytes);
      size_t count = sink.available() / out_pixel_bytes;
      count = count < remaining ? count : remaining;
      dst = routine(src, dst, count);
      sink.Commit(dst);
      src += count * channels;
      remaining -= count;
    }
    if (row_pad > 0) {
      sink.PutZeros(row_pad);
    }
    if (sink.failed()) {
      return;  // the file is abandoned; the rest of the image would be wasted work
    }
  }
}

}  // namespace tarvelo
