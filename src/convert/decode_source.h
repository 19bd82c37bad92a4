#pragma once

#include <cstddef>
#include <cstdint>

#include "TarveloConvert.h"
#include "convert/source.h"
#include "decode/decode_limits.h"
#include "decode/stb_decoder.h"
#include "writer/decoded_image.h"

namespace tarvelo {

// How one decode may run.
struct DecodeSettings {
  uint64_t max_decoded_pixels = kMaxDecodedPixels;  // width * height above it is refused (EffectivePixelCap)
  bool allow_threads = false;                       // helper threads for large buffers
};

// A decoded source: the image the writer reads plus the buffer that owns its
// pixels, or the failure when nothing was decoded.
struct DecodeResult {
  DecodedImage image;
  DecoderBuffer buffer;
  SourceFailure failure;
  SourceFormat format = SourceFormat::kUnknown;
  size_t decoder_peak = 0;  // the most bytes the decoder held at once

  [[nodiscard]] bool ok() const noexcept { return buffer != nullptr; }
};

// Decodes a file or memory source (any format the decoder recognises from the
// contents; bytes in memory are checked exactly as a file's are), keeping the
// source's own channel count: open, guard, size check, decode, in one pass down. A
// null path or data decodes nothing. A result with a non-positive side or a channel
// count outside 1-4 is refused.
DecodeResult DecodeSource(const TarveloSource& source, const DecodeSettings& settings = {}) noexcept;

// A source's size, channel count (as a decode would deliver them) and format, read
// without decoding the pixels, after the same guard and size cap as a decode.
struct SourceInfo {
  int width = 0;
  int height = 0;
  int channels = 0;
  SourceFormat format = SourceFormat::kUnknown;
  SourceFailure failure;
};

SourceInfo ReadSourceInfo(const TarveloSource& source) noexcept;

}  // namespace tarvelo
