// GIF: the decoder allocates and clears nine bytes per canvas pixel from the
// 13-byte header before it looks for an image, so a few bytes claim gigabytes. The
// first image must be present: its descriptor, colour table and pixel data inside
// the file.
#include <cstdint>

#include "guard/input_guard.h"

namespace tarvelo::guard {
namespace {

constexpr const char* kNoImage = "GIF holds no image";
constexpr const char* kNoData = "GIF image has no pixel data";
constexpr uint32_t kMaxCodeSize = 12;

// Skips a chain of data sub-blocks up to its zero-length terminator or the end of
// the file. True when the terminator lies inside the file.
bool SkipSubBlocks(SourceReader& reader) {
  while (!reader.AtEnd()) {
    const uint32_t length = reader.Get8();
    if (length == 0) {
      return true;
    }
    reader.Skip(length);
  }
  return false;
}

const char* CheckFirstImage(SourceReader& reader, uint32_t canvas_width, uint32_t canvas_height,
                            bool global_table) {
  const uint32_t x = reader.Get16Le();
  const uint32_t y = reader.Get16Le();
  const uint32_t width = reader.Get16Le();
  const uint32_t height = reader.Get16Le();
  const uint32_t flags = reader.Get8();
  if (!reader.Has(0)) {
    return "GIF image descriptor ends early";
  }
  if (x + width > canvas_width || y + height > canvas_height) {
    return "GIF image lies outside its canvas";
  }
  if ((flags & 0x80U) != 0) {
    if (!reader.Take(uint64_t{3} * (2U << (flags & 7U)))) {
      return "GIF colour table ends early";
    }
  } else if (!global_table) {
    return "GIF image has no colour table";
  }
  if (reader.AtEnd()) {
    return kFileEndsEarly;
  }
  if (reader.Get8() > kMaxCodeSize) {
    return "GIF LZW code size is invalid";
  }
  // The pixel data: sub-blocks up to a zero length. A file that stops cleanly
  // between sub-blocks (a lost trailer) still holds the image, and so does one that
  // stops inside a sub-block: the decoder reads zeros past the end and stops at the
  // next length it reads, on a canvas it has cleared, so the rows the data never
  // reached hold the same bytes on every run. So the first sub-block must hold a
  // byte inside the file.
  if (reader.AtEnd()) {
    return kFileEndsEarly;
  }
  return reader.Get8() != 0 && !reader.AtEnd() ? nullptr : kNoData;
}

}  // namespace

const char* CheckGif(SourceReader& reader) noexcept {
  reader.Skip(6);  // "GIF87a" or "GIF89a"
  const uint32_t canvas_width = reader.Get16Le();
  const uint32_t canvas_height = reader.Get16Le();
  const uint32_t flags = reader.Get8();
  reader.Skip(2);  // background index, aspect ratio
  const bool global_table = (flags & 0x80U) != 0;
  if (global_table) {
    reader.Skip(uint64_t{3} * (2U << (flags & 7U)));
  }
  for (;;) {
    if (reader.AtEnd()) {
      return kFileEndsEarly;
    }
    switch (reader.Get8()) {
      case 0x2C: return CheckFirstImage(reader, canvas_width, canvas_height, global_table);
      case 0x21: {
        // The decoder reads a graphic control block of the usual length itself and
        // skips one of any other length without its sub-blocks.
        if (reader.Get8() == 0xF9) {
          const uint32_t length = reader.Get8();
          reader.Skip(length);
          if (length != 4) {
            break;
          }
        }
        if (!SkipSubBlocks(reader)) {
          return kFileEndsEarly;
        }
        break;
      }
      case 0x3B: return kNoImage;
      default: return "GIF has an unknown block";
    }
  }
}

}  // namespace tarvelo::guard
