#pragma once

#include <cstddef>
#include <cstdint>

#include "decode/decode_limits.h"
#include "decode/stb_decoder.h"
#include "writer/decoded_image.h"

namespace tarvelo {

// How one decode may run.
struct DecodeSettings {
  uint64_t max_decoded_pixels = kMaxDecodedPixels;  // width * height above it is refused (EffectivePixelCap)
  bool allow_threads = false;                       // helper threads for large buffers
};

// Why a source was not decoded: a one-line reason in plain words, or a system error
// (errno) when the source could not be opened, whose text is the reason then.
struct SourceFailure {
  char text[160] = {};
  int error_number = 0;
  bool out_of_memory = false;  // an allocation was refused: the text says so

  [[nodiscard]] bool failed() const noexcept { return text[0] != '\0' || error_number != 0; }
  // The reason into `out` (capacity `size`), as CopyText copies.
  void CopyTo(char* out, size_t size) const noexcept;
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

// Decodes the file at `path` (any format the decoder recognises from the
// contents), keeping the source's own channel count. The input guard and the size
// cap come first. A null path decodes nothing. A result with a non-positive side or
// a channel count outside 1-4 is refused.
DecodeResult DecodeImageFile(const char* path, const DecodeSettings& settings = {}) noexcept;

// The same for `size` bytes at `data`, checked exactly as a file is.
DecodeResult DecodeImageMemory(const uint8_t* data, size_t size,
                               const DecodeSettings& settings = {}) noexcept;

// A source's size, channel count (as a decode would deliver them) and format, read
// without decoding the pixels, after the same guard and size cap as a decode.
struct SourceInfo {
  int width = 0;
  int height = 0;
  int channels = 0;
  SourceFormat format = SourceFormat::kUnknown;
  SourceFailure failure;
};

SourceInfo ReadSourceInfoFile(const char* path) noexcept;
SourceInfo ReadSourceInfoMemory(const uint8_t* data, size_t size) noexcept;

}  // namespace tarvelo
