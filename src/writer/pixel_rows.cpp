#include "writer/pixel_rows.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "writer/pixel_blocks_neon.h"
#include "writer/pixel_blocks_sse2.h"

namespace tarvelo {
namespace {

// x / 255 for 0 <= x <= 255 * 255 without a division, in 16-bit arithmetic so
// that the compiler can process many pixels per vector instruction. Exact over the
// whole range (checked below at compile time).
constexpr uint16_t Div255(uint16_t x) {
  return static_cast<uint16_t>(static_cast<uint16_t>(x + 1U + (x >> 8U)) >> 8U);
}

consteval bool Div255IsExact() {
  for (uint32_t x = 0; x <= 255U * 255U; ++x) {
    if (Div255(static_cast<uint16_t>(x)) != x / 255U) {
      return false;
    }
  }
  return true;
}
static_assert(Div255IsExact());

// The vector routines divide by 255 with a multiply-high instead.
consteval bool MultiplyHighDiv255IsExact() {
  for (uint32_t x = 0; x <= 0xFFFFU; ++x) {
    if (((x * 0x8081U) >> 23U) != x / 255U) {
      return false;
    }
  }
  return true;
}
static_assert(MultiplyHighDiv255IsExact());

// bg + ((d - bg) * alpha) / 255 with the division truncating toward zero.
template <uint8_t Bg>
constexpr uint16_t Flatten(uint16_t d, uint16_t alpha) {
  const auto product = [](uint32_t a, uint32_t b) { return static_cast<uint16_t>(a * b); };
  if constexpr (Bg == 0) {
    return Div255(product(d, alpha));
  } else if constexpr (Bg == 255) {
    return static_cast<uint16_t>(255U - Div255(product(255U - d, alpha)));
  } else {
    return d >= Bg ? static_cast<uint16_t>(Bg + Div255(product(d - Bg, alpha)))
                   : static_cast<uint16_t>(Bg - Div255(product(Bg - d, alpha)));
  }
}

// Writes `count` pixels; returns the new output position. Each pixel is packed
// into one 32-bit word and stored whole: a 3-byte pixel's store overlaps the next
// pixel's first byte. Vector routines store 16 bytes at a time. The caller leaves
// kStoreSlack bytes of room after the run for both.
using PixelRoutine = uint8_t* (*)(const uint8_t* src, uint8_t* dst, size_t count) noexcept;

inline constexpr size_t kStoreSlack = std::max({sse2::kBlockStoreSlack, neon::kBlockStoreSlack, size_t{1}});

inline void StoreWord(uint8_t* dst, uint32_t word) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(dst, &word, sizeof word);
  } else {
    dst[0] = static_cast<uint8_t>(word);
    dst[1] = static_cast<uint8_t>(word >> 8U);
    dst[2] = static_cast<uint8_t>(word >> 16U);
    dst[3] = static_cast<uint8_t>(word >> 24U);
  }
}

// The three colour bytes of a pixel in output order, lowest byte first.
template <int Channels, int Direction, int AlphaPlacement>
inline uint32_t PackColour(const uint8_t* src) {
  constexpr int kFirst = 1 - Direction;
  constexpr int kLast = 1 + Direction;
  if constexpr (Channels <= 2) {
    return uint32_t{src[0]} * 0x010101U;
  } else if constexpr (Channels == 4 && AlphaPlacement == 0) {
    const std::array<uint32_t, 3> flat = {Flatten<kBackgroundRed>(src[0], src[3]),
                                          Flatten<kBackgroundGreen>(src[1], src[3]),
                                          Flatten<kBackgroundBlue>(src[2], src[3])};
    return flat[kFirst] | (flat[1] << 8U) | (flat[kLast] << 16U);
  } else {
    return uint32_t{src[kFirst]} | (uint32_t{src[1]} << 8U) | (uint32_t{src[kLast]} << 16U);
  }
}

// The processor's vector routines, where this build has them. Both sets offer the
// same functions with the same results.
#if defined(TARVELO_PIXEL_BLOCKS_SSE2)
namespace vector_blocks = sse2;
#elif defined(TARVELO_PIXEL_BLOCKS_NEON)
namespace vector_blocks = neon;
#endif

// Converts the leading whole blocks of a run with the vector routine for the
// layout's common cases; returns how many pixels it converted (0 where none fits).
template <int Channels, int Direction, int AlphaPlacement>
size_t EmitPixelBlocks([[maybe_unused]] const uint8_t* src, [[maybe_unused]] uint8_t* dst,
                       [[maybe_unused]] size_t count) noexcept {
#if defined(TARVELO_PIXEL_BLOCKS_SSE2) || defined(TARVELO_PIXEL_BLOCKS_NEON)
  if constexpr (Channels <= 2 && AlphaPlacement == 0) {
    return vector_blocks::RepeatGrey<Channels, false>(src, dst, count);
  } else if constexpr (Channels == 2 && AlphaPlacement > 0) {
    return vector_blocks::RepeatGrey<Channels, true>(src, dst, count);
  } else if constexpr (Channels == 3 && Direction < 0 && AlphaPlacement == 0) {
    return vector_blocks::ReverseColour3(src, dst, count);
  } else if constexpr (Channels == 4 && Direction < 0 && AlphaPlacement > 0) {
    return vector_blocks::ReverseColour4KeepAlpha(src, dst, count);
  } else if constexpr (Channels == 4 && AlphaPlacement == 0) {
    return vector_blocks::Flatten4<kBackgroundRed, kBackgroundGreen, kBackgroundBlue, (Direction < 0)>(
        src, dst, count);
  }
#endif
  return 0;
}

template <int Channels, int Direction, int AlphaPlacement>
uint8_t* EmitPixels(const uint8_t* src, uint8_t* dst, size_t count) noexcept {
  constexpr size_t kOutBytes = AlphaPlacement == 0 ? 3 : 4;
  if constexpr (Channels == 3 && Direction > 0 && AlphaPlacement == 0) {
    std::memcpy(dst, src, count * 3);  // already in output order
    return dst + count * 3;
  }
  const size_t blocks = EmitPixelBlocks<Channels, Direction, AlphaPlacement>(src, dst, count);
  src += blocks * Channels;
  dst += blocks * kOutBytes;
  for (size_t i = blocks; i < count; ++i, src += Channels, dst += kOutBytes) {
    const uint32_t colour = PackColour<Channels, Direction, AlphaPlacement>(src);
    const uint32_t alpha = src[Channels - 1];
    if constexpr (AlphaPlacement < 0) {
      StoreWord(dst, alpha | (colour << 8U));
    } else if constexpr (AlphaPlacement > 0) {
      StoreWord(dst, colour | (alpha << 24U));
    } else {
      StoreWord(dst, colour);  // the fourth byte is overwritten by the next pixel or is slack
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

bool Writable(const DecodedImage& image) {
  return image.channels >= 1 && image.channels <= 4 && image.width >= 0 && image.height > 0;
}

size_t RowPad(const PixelStreamParams& params) {
  return params.row_pad < 0 ? 0 : (params.row_pad > 3 ? 3 : static_cast<size_t>(params.row_pad));
}

size_t OutPixelBytes(const PixelStreamParams& params) { return params.alpha_mode != 0 ? 4 : 3; }

}  // namespace

uint64_t PixelRowsSize(const PixelStreamParams& params, const DecodedImage& image) noexcept {
  if (!Writable(image)) {
    return 0;
  }
  const uint64_t row = static_cast<uint64_t>(image.width) * OutPixelBytes(params) + RowPad(params);
  return row * static_cast<uint64_t>(image.height);
}

void EmitPixelRows(ByteSink& sink, const PixelStreamParams& params, const DecodedImage& image) noexcept {
  if (!Writable(image)) {
    return;
  }
  const PixelRoutine routine = SelectRoutine(params, image.channels);
  const size_t out_pixel_bytes = OutPixelBytes(params);
  const size_t row_pad = RowPad(params);
  const auto width = static_cast<size_t>(image.width);
  const auto channels = static_cast<size_t>(image.channels);
  const size_t row_bytes = image.row_stride != 0 ? image.row_stride : width * channels;
  const auto height = static_cast<size_t>(image.height);

  for (size_t step = 0; step < height; ++step) {
    const size_t row = params.vertical_direction < 0 ? height - 1 - step : step;
    const uint8_t* src = image.pixels + row * row_bytes;
    size_t remaining = width;
    while (remaining > 0) {
      uint8_t* dst = sink.Reserve(out_pixel_bytes + kStoreSlack);
      size_t count = (sink.available() - kStoreSlack) / out_pixel_bytes;
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
