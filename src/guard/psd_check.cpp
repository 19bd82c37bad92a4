// PSD: the decoder allocates the whole image from the header and then reads past
// the end of a short file as zeros, so a few bytes of header become a large image of
// invented pixels. Every byte it reads must be in the file.
#include <cstdint>

#include "guard/input_guard.h"

namespace tarvelo::guard {

constexpr const char* kPixelsShort = "PSD pixel data ends early";

const char* CheckPsd(SourceReader& reader) noexcept {
  reader.Skip(4);  // "8BPS"
  if (reader.Get16Be() != 1) {
    return nullptr;  // refused by the decoder
  }
  reader.Skip(6);
  const uint32_t channel_count = reader.Get16Be();
  const auto height = static_cast<int32_t>(reader.Get32Be());
  const auto width = static_cast<int32_t>(reader.Get32Be());
  const uint32_t depth = reader.Get16Be();
  if (channel_count > 16 || (depth != 8 && depth != 16) || reader.Get16Be() != 3) {
    return nullptr;
  }
  // Colour data, image resources, layers and masks: the decoder skips each by a
  // length it reads as a signed int; a negative one would leave it reading from an
  // unpredictable place.
  for (int section = 0; section < 3; ++section) {
    const auto length = static_cast<int32_t>(reader.Get32Be());
    if (length < 0) {
      return "PSD section length is negative";
    }
    reader.Skip(static_cast<uint64_t>(length));
  }
  const uint32_t compression = reader.Get16Be();
  if (compression > 1 || width <= 0 || height <= 0 ||
      uint64_t{4} * static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > INT32_MAX) {
    return nullptr;  // refused, or an empty image refused after decoding
  }
  const uint64_t pixel_count = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  const uint32_t channels_read = channel_count < 4 ? channel_count : 4;
  if (compression == 0) {
    return reader.Has(channels_read * pixel_count * (depth / 8)) ? nullptr : kPixelsShort;
  }
  // PackBits: a table of row byte counts (skipped), then each channel in turn.
  reader.Skip(uint64_t{2} * static_cast<uint64_t>(height) * channel_count);
  for (uint32_t channel = 0; channel < channels_read; ++channel) {
    // A PackBits packet: a literal of `length` + 1 bytes, a run of 257 - `length`
    // copies of one byte, or (128) nothing.
    const Verdict verdict = CheckRuns(reader, pixel_count, kPixelsShort, [&reader](uint64_t) {
      const uint32_t length = reader.Get8();
      return length == 128
                 ? RunPacket{0, 0}
                 : (length < 128 ? RunPacket{length + 1U, length + 1U} : RunPacket{257U - length, 1});
    });
    if (verdict) {
      return *verdict;
    }
  }
  return nullptr;
}

}  // namespace tarvelo::guard
