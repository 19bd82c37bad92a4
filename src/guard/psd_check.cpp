// PSD: the decoder allocates the whole image from the header and then reads past
// the end of a short file as zeros, so a few bytes of header become a large image of
// invented pixels. Every byte it reads must be in the file.
#include <cstdint>

#include "guard/format_checks.h"

namespace tarvelo::guard {
namespace {

constexpr const char* kPixelsShort = "PSD pixel data ends early";

// The decoder skips each section by a length it reads as a signed int; a negative
// one would leave it reading from an unpredictable place.
bool SkipSection(SourceReader& reader) {
  const auto length = static_cast<int32_t>(reader.Get32Be());
  if (length < 0) {
    return false;
  }
  reader.Skip(static_cast<uint64_t>(length));
  return true;
}

// One channel of PackBits data, as the decoder reads it.
const char* CheckPackBits(SourceReader& reader, uint64_t pixel_count) {
  for (uint64_t count = 0; count < pixel_count;) {
    if (reader.AtEnd()) {
      return kPixelsShort;
    }
    const uint32_t length = reader.Get8();
    if (length == 128) {
      continue;
    }
    const uint64_t left = pixel_count - count;
    if (length < 128) {
      const uint64_t literal = length + 1;
      if (literal > left) {
        return nullptr;  // refused by the decoder
      }
      if (!reader.Has(literal)) {
        return kPixelsShort;
      }
      reader.Skip(literal);
      count += literal;
    } else {
      const uint64_t run = 257 - length;
      if (run > left) {
        return nullptr;
      }
      if (reader.AtEnd()) {
        return kPixelsShort;
      }
      reader.Skip(1);
      count += run;
    }
  }
  return nullptr;
}

}  // namespace

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
  if (!SkipSection(reader) || !SkipSection(reader) || !SkipSection(reader)) {
    return "PSD section length is negative";
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
    if (const char* defect = CheckPackBits(reader, pixel_count); defect != nullptr) {
      return defect;
    }
  }
  return nullptr;
}

}  // namespace tarvelo::guard
