// The one conversion under every entry point: a source (a file, bytes in memory or
// a caller's pixels) to an output (a file, a write function or a new buffer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "TarveloConvert.h"
#include "decode/decode_limits.h"
#include "decode/stb_decoder.h"
#include "writer/pixel_rows.h"

namespace tarvelo {

// An enumeration argument as the int a C caller passed, which may name no
// enumerator: copied as bytes, since reading it as the enumeration would be undefined.
template <typename Enum>
int RawValue(const Enum& value) noexcept {
  static_assert(sizeof(Enum) == sizeof(int), "the C API's enums are int-sized");
  int raw = 0;
  std::memcpy(&raw, &value, sizeof raw);
  return raw;
}

// How one decode may run.
struct DecodeSettings {
  uint64_t max_decoded_pixels = kMaxDecodedPixels;  // width * height above it is refused (EffectivePixelCap)
  bool allow_threads = false;                       // helper threads for large buffers
};

// A decoded source: the image the writer reads plus the buffer that owns its pixels.
struct DecodeResult {
  DecodedImage image;
  DecoderBuffer buffer;
  SourceFormat format = SourceFormat::kUnknown;
  size_t decoder_peak = 0;  // the most bytes the decoder held at once
};

// The image of `source`: decoded from a file or from bytes, or the caller's pixels as
// they are. A file or memory source (any format the decoder recognises from the
// contents; bytes in memory are checked exactly as a file's are) keeps its own channel
// count: open, guard, size check, decode, in one pass down. A result with a
// non-positive side or a channel count outside 1-4 is refused. With `header_only`,
// the same steps stop before the pixels are decoded: the image then has no pixels, and
// its size and channel count are the ones a decode would deliver (what
// TarveloReadInfo reports). False, with `result` set, when there is none.
bool ReadImage(const TarveloSource& source, const DecodeSettings& settings, DecodeResult& image,
               TarveloResult& result, bool header_only = false) noexcept;

// Plans `image` in `layout` (a TarveloLayout value) once, then writes the plan to
// `output`. Everything that can be refused is refused before the first byte goes
// out; a buffer output allocates the buffer (malloc) at the planned size and hands
// it over only when it is complete. `options` as TarveloConvertImage reads them.
// False, with `result` set, when not written.
bool WriteImage(const DecodedImage& image, int layout, TarveloOutput& output, const TarveloOptions& options,
                TarveloResult& result) noexcept;

// Both, after checking the source, the layout and the output and reading the
// options: what TarveloConvertImage does. A buffer output is cleared first. Returns
// result.status.
TarveloStatus Convert(const TarveloSource* source, TarveloOutput& output, int layout,
                      const TarveloOptions* options, TarveloResult& result) noexcept;

// The source's size, channels and format, as TarveloReadInfo reports them.
TarveloStatus ReadInfo(const TarveloSource& source, TarveloImageInfo& info, TarveloResult& result) noexcept;

// Sets `result` to `status` with `detail` (null: "") and no system error; returns `status`.
TarveloStatus Report(TarveloResult& result, TarveloStatus status, const char* detail) noexcept;

}  // namespace tarvelo
