#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>

namespace tarvelo {

// The largest image the conversion decodes by default, in pixels, checked from the
// header before the decoder allocates anything. High enough for any real
// photograph or scan, low enough that the decoder's working memory stays within
// what the process can have, whatever the format:
//   64-bit: 2^28 pixels (e.g. 16384 x 16384).
//   32-bit: 2^26 pixels (e.g. 8192 x 8192), inside a 2 GiB address space.
// Fuzzing builds may lower it with TARVELO_MAX_DECODED_PIXELS.
#if defined(TARVELO_MAX_DECODED_PIXELS)
inline constexpr uint64_t kMaxDecodedPixels = TARVELO_MAX_DECODED_PIXELS;
#else
inline constexpr uint64_t kMaxDecodedPixels = sizeof(void*) >= 8 ? uint64_t{1} << 28U : uint64_t{1} << 26U;
static_assert(sizeof(void*) < 8 || kMaxDecodedPixels >= (uint64_t{1} << 28U),
              "64-bit builds must accept at least 2^28 pixels");
#endif

// The decoder's working memory for one image is bounded by this many bytes per
// pixel of the cap: the most any format needs at its peak (a 16-bit RGBA PNG holds
// its inflated rows and its 16-bit image at once; SECURITY.md lists each format's).
// The decoder allocator enforces it, so the cap bounds bytes, not only pixels.
inline constexpr uint64_t kDecoderBytesPerPixel = 16;
// Room for the small blocks every decode allocates whatever the image's size
// (tables, a file's read buffer).
inline constexpr uint64_t kDecoderBudgetSlack = uint64_t{1} << 20U;

// The largest cap a caller may ask for: what the decoder can address. It counts an
// image's bytes in an int (four channels at most), and the byte bound must fit in
// size_t. A larger request is lowered to this; fuzzing builds keep their own cap.
#if defined(TARVELO_MAX_DECODED_PIXELS)
inline constexpr uint64_t kMaxAddressablePixels = kMaxDecodedPixels;
#else
inline constexpr uint64_t kMaxAddressablePixels =
    std::min(uint64_t{INT_MAX} / 4, (uint64_t{SIZE_MAX} - kDecoderBudgetSlack) / kDecoderBytesPerPixel);
static_assert(kMaxAddressablePixels >= kMaxDecodedPixels);
#endif

// The cap a call runs with: 0 asks for the default; a request past what the decoder
// can address gets that.
constexpr uint64_t EffectivePixelCap(uint64_t requested) noexcept {
  return requested == 0 ? kMaxDecodedPixels : std::min(requested, kMaxAddressablePixels);
}

// The decoder's byte budget under a pixel cap (as EffectivePixelCap reads it).
constexpr size_t DecoderByteBudget(uint64_t pixel_cap) noexcept {
  return static_cast<size_t>(EffectivePixelCap(pixel_cap) * kDecoderBytesPerPixel + kDecoderBudgetSlack);
}

}  // namespace tarvelo
