#pragma once

#include <cstdint>

namespace tarvelo {

// The largest image the conversion decodes, in pixels, checked from the header
// before the decoder allocates anything. High enough for any real photograph or scan,
// low enough that the decoder's working memory stays within what the process can
// have, whatever the format:
//   64-bit: 2^28 pixels (e.g. 16384 x 16384): a decoded buffer of at most 1 GiB
//           (4 channels); the decoder's peak is 9 bytes per pixel for GIF (2.25 GiB)
//           and 15 for Radiance HDR (3.75 GiB).
//   32-bit: 2^26 pixels (e.g. 8192 x 8192): at most 256 MiB decoded and 960 MiB at
//           the decoder's peak, inside a 2 GiB address space.
// Fuzzing builds may lower it with TARVELO_MAX_DECODED_PIXELS.
#if defined(TARVELO_MAX_DECODED_PIXELS)
inline constexpr uint64_t kMaxDecodedPixels = TARVELO_MAX_DECODED_PIXELS;
#else
inline constexpr uint64_t kMaxDecodedPixels = sizeof(void*) >= 8 ? uint64_t{1} << 28U : uint64_t{1} << 26U;
static_assert(sizeof(void*) < 8 || kMaxDecodedPixels >= (uint64_t{1} << 28U),
              "64-bit builds must accept at least 2^28 pixels");
#endif

}  // namespace tarvelo
