// The one conversion under every entry point: a source (a file, bytes in memory or
// a caller's pixels) to an output (a file, a write function or a new buffer).
#pragma once

#include "TarveloConvert.h"
#include "convert/decode_source.h"

namespace tarvelo {

// The image of `source`: decoded from a file or from bytes (open, guard, cap,
// decode: see DecodeSource), or the caller's pixels as they are. False, with
// `result` set, when there is none.
bool ReadImage(const TarveloSource& source, const DecodeSettings& settings, DecodeResult& image,
               TarveloResult& result) noexcept;

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
