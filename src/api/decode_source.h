#pragma once

#include "decode/stb_decoder.h"
#include "writer/decoded_image.h"

namespace tarvelo {

// A decoded source: the image the writer reads plus the buffer that owns its
// pixels. `failure_reason` is the decoder's own short reason when nothing was
// decoded (never null then).
struct DecodeResult {
  DecodedImage image;
  DecoderBuffer buffer;
  const char* failure_reason = nullptr;

  [[nodiscard]] bool ok() const noexcept { return buffer != nullptr; }
};

// Decodes the file at `path` (any format the decoder recognises from the
// contents), keeping the source's own channel count. A null path decodes nothing.
// A result with a non-positive side or a channel count outside 1-4 is refused.
DecodeResult DecodeImageFile(const char* path) noexcept;

}  // namespace tarvelo
