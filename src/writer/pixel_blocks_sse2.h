#pragma once
// Pixel routines for the layouts' common cases on x86-64's baseline vector unit
// (SSE2, present on every x86-64 processor, so no run-time dispatch is needed).
// Each converts whole blocks of pixels and returns how many it converted; the
// scalar routine in pixel_rows.cpp finishes the run. The results are bit for bit
// those of the scalar code (the tests compare both against the rules).
//
// Stores are 16 bytes wide and may write up to kBlockStoreSlack bytes past the
// converted pixels; loads never read past the run's last pixel.

#include <cstddef>
#include <cstdint>

// TARVELO_PORTABLE_PIXELS (the CMake option of that name) leaves them out. 32-bit
// x86 builds go without them too, as SSE2 is not in that baseline.
#if (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)) && \
    !defined(TARVELO_PORTABLE_PIXELS)
#include <emmintrin.h>
#define TARVELO_PIXEL_BLOCKS_SSE2 1
#endif

namespace tarvelo::sse2 {

inline constexpr size_t kBlockStoreSlack = 4;

#if defined(TARVELO_PIXEL_BLOCKS_SSE2)

inline __m128i Load(const uint8_t* src) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(src)); }
inline void Store(uint8_t* dst, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v); }

// Four 32-bit pixels [c0 c1 c2 x] to twelve bytes c0 c1 c2 of each; writes 14.
inline void StoreThreeOfFour(uint8_t* dst, __m128i words) {
  const __m128i low = _mm_set1_epi64x(0x0000000000FFFFFF);
  const __m128i high = _mm_set1_epi64x(0x0000FFFFFF000000);
  // Each 64-bit half becomes six bytes followed by two zero bytes, stored 6 apart.
  const __m128i halves =
      _mm_or_si128(_mm_and_si128(words, low), _mm_and_si128(_mm_srli_epi64(words, 8), high));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), halves);
  _mm_storeh_pd(reinterpret_cast<double*>(dst + 6), _mm_castsi128_pd(halves));
}

// RGB to BGR: five pixels (15 bytes) per 16-byte load. Green stays, red and blue
// trade places two bytes apart.
inline size_t ReverseColour3(const uint8_t* src, uint8_t* dst, size_t count) {
  const __m128i green = _mm_setr_epi8(0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0);
  const __m128i first = _mm_setr_epi8(-1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, 0);
  const __m128i last = _mm_setr_epi8(0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0);
  size_t done = 0;
  // Six pixels left at least: the 16-byte load stays inside the run.
  for (; count - done >= 6; done += 5, src += 15, dst += 15) {
    const __m128i v = Load(src);
    Store(dst,
          _mm_or_si128(_mm_and_si128(v, green), _mm_or_si128(_mm_and_si128(_mm_srli_si128(v, 2), first),
                                                             _mm_and_si128(_mm_slli_si128(v, 2), last))));
  }
  return done;
}

// Red and blue trade places within each 32-bit RGBA pixel, with shifts and masks
// (no shuffle unit needed).
inline __m128i SwapRedBlue(__m128i v) {
  const __m128i green_alpha = _mm_set1_epi32(static_cast<int>(0xFF00FF00U));
  const __m128i low = _mm_set1_epi32(0xFF);
  const __m128i third = _mm_set1_epi32(0xFF0000);
  return _mm_or_si128(
      _mm_and_si128(v, green_alpha),
      _mm_or_si128(_mm_and_si128(_mm_srli_epi32(v, 16), low), _mm_and_si128(_mm_slli_epi32(v, 16), third)));
}

// RGBA to BGRA.
inline size_t ReverseColour4KeepAlpha(const uint8_t* src, uint8_t* dst, size_t count) {
  size_t done = 0;
  for (; count - done >= 4; done += 4, src += 16, dst += 16) {
    Store(dst, SwapRedBlue(Load(src)));
  }
  return done;
}

// Grey or grey-alpha pixels to [g g g], or grey-alpha to [g g g a] when `KeepAlpha`.
template <int Channels, bool KeepAlpha>
inline size_t RepeatGrey(const uint8_t* src, uint8_t* dst, size_t count) {
  size_t done = 0;
  if constexpr (Channels == 1) {
    // Sixteen pixels per step.
    for (; count - done >= 16; done += 16, src += 16, dst += 48) {
      const __m128i v = Load(src);
      const __m128i pairs_low = _mm_unpacklo_epi8(v, v);
      const __m128i pairs_high = _mm_unpackhi_epi8(v, v);
      StoreThreeOfFour(dst, _mm_unpacklo_epi16(pairs_low, pairs_low));
      StoreThreeOfFour(dst + 12, _mm_unpackhi_epi16(pairs_low, pairs_low));
      StoreThreeOfFour(dst + 24, _mm_unpacklo_epi16(pairs_high, pairs_high));
      StoreThreeOfFour(dst + 36, _mm_unpackhi_epi16(pairs_high, pairs_high));
    }
  } else {
    // Eight grey-alpha pixels per step; each 16-bit lane holds g | a << 8.
    const __m128i grey_mask = _mm_set1_epi16(0xFF);
    for (; count - done >= 8; done += 8, src += 16) {
      const __m128i v = Load(src);
      const __m128i grey = _mm_and_si128(v, grey_mask);
      const __m128i grey_grey = _mm_or_si128(grey, _mm_slli_epi16(grey, 8));
      if constexpr (KeepAlpha) {
        Store(dst, _mm_unpacklo_epi16(grey_grey, v));
        Store(dst + 16, _mm_unpackhi_epi16(grey_grey, v));
        dst += 32;
      } else {
        StoreThreeOfFour(dst, _mm_unpacklo_epi16(grey_grey, grey_grey));
        StoreThreeOfFour(dst + 12, _mm_unpackhi_epi16(grey_grey, grey_grey));
        dst += 24;
      }
    }
  }
  return done;
}

// x / 255 in each unsigned 16-bit lane, exactly: (x * 0x8081) >> 23 (checked for
// every 16-bit x in pixel_rows.cpp).
inline __m128i Div255(__m128i x) {
  return _mm_srli_epi16(_mm_mulhi_epu16(x, _mm_set1_epi16(static_cast<int16_t>(0x8081))), 7);
}

// RGBA flattened against a background whose channels are each 0 or 255:
// bg + ((d - bg) * a) / 255 truncated toward zero. With bg = 255 that is
// 255 - ((255 - d) * a) / 255, and 255 - v is v ^ 255 for a byte: so one
// exclusive-or before and after the product handles both kinds of channel.
// Four pixels per step, written blue first.
//
// Shuffles are kept to five per step (they share one execution port on many
// processors and bounded the first version of this loop at half the speed):
// the colour order is fixed before widening, with shifts, and each pixel's alpha
// is spread over its four 16-bit lanes with shifts and one unpack per half.
inline constexpr size_t kFlattenPrefetchDistance = 2048;

template <uint8_t BgRed, uint8_t BgGreen, uint8_t BgBlue>
inline size_t Flatten4(const uint8_t* src, uint8_t* dst, size_t count) {
  static_assert((BgRed == 0 || BgRed == 255) && (BgGreen == 0 || BgGreen == 255) &&
                (BgBlue == 0 || BgBlue == 255));
  // The background in output order.
  const __m128i invert = _mm_setr_epi16(BgBlue, BgGreen, BgRed, 0, BgBlue, BgGreen, BgRed, 0);
  const __m128i zero = _mm_setzero_si128();
  const auto flatten = [&](__m128i lanes, __m128i alpha) {
    return _mm_xor_si128(Div255(_mm_mullo_epi16(_mm_xor_si128(lanes, invert), alpha)), invert);
  };
  const __m128i alpha_bytes = _mm_set1_epi32(static_cast<int>(0xFF000000U));
  // The background as output bytes, for four fully transparent pixels.
  const __m128i background = _mm_set1_epi32(
      static_cast<int>(uint32_t{BgBlue} | (uint32_t{BgGreen} << 8U) | (uint32_t{BgRed} << 16U)));
  size_t done = 0;
  for (; count - done >= 4; done += 4, src += 16, dst += 12) {
    // This loop computes enough per byte that the processor's own prefetching falls
    // behind on a source larger than its caches, and reading then runs well below
    // its speed from cache (bench/RESULTS.md). A prefetch never faults, also past
    // the end of the source.
    _mm_prefetch(reinterpret_cast<const char*>(src) + kFlattenPrefetchDistance, _MM_HINT_T0);
    const __m128i v = SwapRedBlue(Load(src));
    // Cut-outs are mostly fully opaque or fully transparent, in long runs: there the
    // result is the colour itself (alpha 255) or the background (alpha 0), exactly.
    const __m128i alpha_only = _mm_and_si128(v, alpha_bytes);
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(alpha_only, alpha_bytes)) == 0xFFFF) {
      StoreThreeOfFour(dst, v);
      continue;
    }
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(alpha_only, zero)) == 0xFFFF) {
      StoreThreeOfFour(dst, background);
      continue;
    }
    const __m128i alpha = _mm_srli_epi32(v, 24);
    const __m128i alpha_pairs = _mm_or_si128(alpha, _mm_slli_epi32(alpha, 16));  // a a per pixel
    const __m128i words =
        _mm_packus_epi16(flatten(_mm_unpacklo_epi8(v, zero), _mm_unpacklo_epi32(alpha_pairs, alpha_pairs)),
                         flatten(_mm_unpackhi_epi8(v, zero), _mm_unpackhi_epi32(alpha_pairs, alpha_pairs)));
    StoreThreeOfFour(dst, words);
  }
  return done;
}

#endif  // TARVELO_PIXEL_BLOCKS_SSE2

}  // namespace tarvelo::sse2
