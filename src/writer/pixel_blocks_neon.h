#pragma once
// Pixel routines for the layouts' common cases on ARM's vector unit (NEON, part of
// every 64-bit ARM processor; 32-bit ARM builds use it when the compiler targets
// it). The interleaving loads and stores (vld2/3/4, vst3/4) split and merge the
// channels, so each routine is a few lane moves and, for flattening, one widening
// multiply per channel. Each converts whole blocks of 16 pixels and returns how
// many it converted; the scalar routine in pixel_rows.cpp finishes the run with
// bit for bit the same results (the tests compare both).
//
// Loads and stores stay inside the converted pixels: no slack is needed.
//
// The stores' braced table arguments are parenthesised: clang's vst3q_u8 and
// vst4q_u8 are macros, which would split the braces' commas into arguments.

#include <cstddef>
#include <cstdint>

// TARVELO_PORTABLE_PIXELS (the CMake option of that name) leaves them out.
#if (defined(__ARM_NEON) || defined(__ARM_NEON__)) && !defined(TARVELO_PORTABLE_PIXELS)
#include <arm_neon.h>
#define TARVELO_PIXEL_BLOCKS_NEON 1
#endif

namespace tarvelo::neon {

inline constexpr size_t kBlockStoreSlack = 0;

#if defined(TARVELO_PIXEL_BLOCKS_NEON)

inline constexpr size_t kBlock = 16;

// RGB to BGR.
inline size_t ReverseColour3(const uint8_t* src, uint8_t* dst, size_t count) {
  size_t done = 0;
  for (; count - done >= kBlock; done += kBlock, src += 3 * kBlock, dst += 3 * kBlock) {
    const uint8x16x3_t v = vld3q_u8(src);
    vst3q_u8(dst, (uint8x16x3_t{{v.val[2], v.val[1], v.val[0]}}));
  }
  return done;
}

// RGBA to BGRA.
inline size_t ReverseColour4KeepAlpha(const uint8_t* src, uint8_t* dst, size_t count) {
  size_t done = 0;
  for (; count - done >= kBlock; done += kBlock, src += 4 * kBlock, dst += 4 * kBlock) {
    const uint8x16x4_t v = vld4q_u8(src);
    vst4q_u8(dst, (uint8x16x4_t{{v.val[2], v.val[1], v.val[0], v.val[3]}}));
  }
  return done;
}

// Grey or grey-alpha pixels to [g g g], or grey-alpha to [g g g a] when `KeepAlpha`.
template <int Channels, bool KeepAlpha>
inline size_t RepeatGrey(const uint8_t* src, uint8_t* dst, size_t count) {
  size_t done = 0;
  for (; count - done >= kBlock; done += kBlock, src += Channels * kBlock) {
    if constexpr (Channels == 1) {
      const uint8x16_t grey = vld1q_u8(src);
      vst3q_u8(dst, (uint8x16x3_t{{grey, grey, grey}}));
      dst += 3 * kBlock;
    } else if constexpr (KeepAlpha) {
      const uint8x16x2_t v = vld2q_u8(src);
      vst4q_u8(dst, (uint8x16x4_t{{v.val[0], v.val[0], v.val[0], v.val[1]}}));
      dst += 4 * kBlock;
    } else {
      const uint8x16_t grey = vld2q_u8(src).val[0];
      vst3q_u8(dst, (uint8x16x3_t{{grey, grey, grey}}));
      dst += 3 * kBlock;
    }
  }
  return done;
}

// x / 255 for 0 <= x <= 255 * 255 in each 16-bit lane, exactly: (x + 1 + (x >> 8)) >> 8
// (the scalar routine's formula, checked for that range in pixel_rows.cpp).
inline uint16x8_t Div255(uint16x8_t x) {
  return vshrq_n_u16(vaddq_u16(vaddq_u16(x, vdupq_n_u16(1)), vshrq_n_u16(x, 8)), 8);
}

// bg + ((d - bg) * a) / 255 truncated toward zero for a background channel of 0 or
// 255. With bg = 255 that is 255 - ((255 - d) * a) / 255, and 255 - v is ~v for a
// byte: one complement before and after the product handles both kinds of channel.
template <uint8_t Bg>
inline uint8x16_t FlattenChannel(uint8x16_t d, uint8x16_t alpha) {
  static_assert(Bg == 0 || Bg == 255);
  const uint8x16_t x = Bg == 255 ? vmvnq_u8(d) : d;
  const uint8x8_t low = vmovn_u16(Div255(vmull_u8(vget_low_u8(x), vget_low_u8(alpha))));
  const uint8x8_t high = vmovn_u16(Div255(vmull_u8(vget_high_u8(x), vget_high_u8(alpha))));
  const uint8x16_t q = vcombine_u8(low, high);
  return Bg == 255 ? vmvnq_u8(q) : q;
}

// RGBA flattened against a background whose channels are each 0 or 255, written
// blue first.
template <uint8_t BgRed, uint8_t BgGreen, uint8_t BgBlue>
inline size_t Flatten4(const uint8_t* src, uint8_t* dst, size_t count) {
  size_t done = 0;
  for (; count - done >= kBlock; done += kBlock, src += 4 * kBlock, dst += 3 * kBlock) {
    const uint8x16x4_t v = vld4q_u8(src);
    const uint8x16_t red = FlattenChannel<BgRed>(v.val[0], v.val[3]);
    const uint8x16_t green = FlattenChannel<BgGreen>(v.val[1], v.val[3]);
    const uint8x16_t blue = FlattenChannel<BgBlue>(v.val[2], v.val[3]);
    vst3q_u8(dst, (uint8x16x3_t{{blue, green, red}}));
  }
  return done;
}

#endif  // TARVELO_PIXEL_BLOCKS_NEON

}  // namespace tarvelo::neon
