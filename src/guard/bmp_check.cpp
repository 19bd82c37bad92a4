// BMP: the decoder looks palette entries up in a stack table of 256 entries of
// which only the file's palette is filled, so an index past the palette copies
// uninitialised stack bytes into the image; and it reads past the end of the file as
// zeros. Every index must lie inside the palette and every byte read in the file.
// Compressed BMPs, which the decoder does not read, are named as such.
#include <bit>
#include <cstdint>
#include <cstdlib>

#include "guard/input_guard.h"

namespace tarvelo::guard {
namespace {

constexpr const char* kPixelsShort = "BMP pixel data ends early";
constexpr const char* kOffsetInHeader = "BMP pixel data offset lies inside its header";

struct Masks {
  uint32_t red = 0, green = 0, blue = 0, alpha = 0;
};

// The decoder's default masks for uncompressed 16- and 32-bit pixels.
Masks DefaultMasks(uint32_t bits) {
  return bits == 16   ? Masks{31U << 10U, 31U << 5U, 31U, 0}
         : bits == 32 ? Masks{0xffU << 16U, 0xffU << 8U, 0xffU, 0xffU << 24U}
                      : Masks{};
}

// The file and information headers as the decoder reads them.
struct BmpHeader {
  int32_t offset = 0;       // of the pixel data
  uint32_t size = 0;        // of the information header
  int64_t extra_read = 14;  // bytes the decoder counts besides the information header
  uint32_t width = 0;
  int32_t height = 0;
  uint64_t rows = 0;  // |height| as the decoder takes it
  uint32_t bits = 0;
  Masks masks;
};

// The compression field and the colour masks of an information header longer than
// the oldest (12-byte) one.
Verdict ReadMasks(SourceReader& reader, BmpHeader& header) {
  Masks& masks = header.masks;
  const auto compression = static_cast<int32_t>(reader.Get32Le());
  // The decoder refuses these too, but its header scan's reason is lost among the
  // other formats it then tries: name them here.
  const bool known_header =
      header.size == 40 || header.size == 56 || header.size == 108 || header.size == 124;
  if (compression == 1 || compression == 2 || compression >= 4) {
    return !known_header      ? kLeaveToDecoder
           : compression >= 4 ? Verdict("BMP holding JPEG or PNG data is not read")
                              : Verdict("compressed (RLE) BMP is not read");
  }
  if (compression == 3 && header.bits != 16 && header.bits != 32) {
    return kLeaveToDecoder;
  }
  // Image size, resolutions, colour counts; the decoder skips the 56-byte header's
  // four fields after them too.
  reader.Skip(20 + (header.size == 56 ? 16 : 0));
  if (header.size == 40 || header.size == 56) {
    if (header.bits == 16 || header.bits == 32) {
      if (compression == 0) {
        masks = DefaultMasks(header.bits);
      } else if (compression == 3) {
        masks = {reader.Get32Le(), reader.Get32Le(), reader.Get32Le()};
        header.extra_read += 12;
        if (masks.red == masks.green && masks.green == masks.blue) {
          return kLeaveToDecoder;
        }
      } else {
        return kLeaveToDecoder;
      }
    }
  } else {
    masks = {reader.Get32Le(), reader.Get32Le(), reader.Get32Le(), reader.Get32Le()};
    if (compression == 0) {
      masks = DefaultMasks(header.bits);
    }
    reader.Skip(4 + 48 + (header.size == 124 ? 16 : 0));
  }
  return std::nullopt;
}

Verdict ReadHeader(SourceReader& reader, BmpHeader& header) {
  reader.Skip(2 + 4 + 2 + 2);  // "BM", file size, reserved
  header.offset = static_cast<int32_t>(reader.Get32Le());
  header.size = reader.Get32Le();
  if (header.offset < 0) {
    return kLeaveToDecoder;
  }
  const bool short_sides = header.size == 12;  // the oldest header's sides are 16-bit
  header.width = short_sides ? reader.Get16Le() : reader.Get32Le();
  header.height = static_cast<int32_t>(short_sides ? reader.Get16Le() : reader.Get32Le());
  if (reader.Get16Le() != 1) {
    return kLeaveToDecoder;
  }
  header.bits = reader.Get16Le();
  if (header.size != 12) {
    if (const Verdict verdict = ReadMasks(reader, header)) {
      return verdict;
    }
  }
  if (!reader.Has(0)) {
    return "BMP header ends early";
  }
  // The most negative height stays out of range.
  header.rows =
      header.height == INT32_MIN ? uint64_t{1} << 31U : static_cast<uint64_t>(std::llabs(header.height));
  if (header.rows > kDecoderMaxSide || header.width > kDecoderMaxSide) {
    return kLeaveToDecoder;
  }
  return std::nullopt;
}

// The number of palette entries the decoder takes from the header.
int64_t PaletteSize(const BmpHeader& header) {
  if (header.size == 12) {
    return header.bits < 24 ? (int64_t{header.offset} - header.extra_read - 24) / 3 : 0;
  }
  if (header.bits >= 16) {
    return 0;
  }
  // An arithmetic shift, as the decoder's: it rounds negative values down.
  return (int64_t{header.offset} - header.extra_read - header.size) >> 2;
}

// Moves past the palette and the gap after it to the pixel data.
Verdict SkipPalette(SourceReader& reader, const BmpHeader& header, int64_t palette_size) {
  if (palette_size == 0 || palette_size > 256) {
    return kLeaveToDecoder;
  }
  const int64_t entry = header.size == 12 ? 3 : 4;
  const int64_t palette_bytes = palette_size > 0 ? palette_size * entry : 0;
  if (!reader.Take(static_cast<uint64_t>(palette_bytes))) {
    return "BMP palette ends early";
  }
  const int64_t gap = int64_t{header.offset} - header.extra_read - header.size - palette_size * entry;
  if (gap < 0) {
    return kOffsetInHeader;
  }
  reader.Skip(static_cast<uint64_t>(gap));
  return std::nullopt;
}

// The pixel rows of a 1-, 4- or 8-bit image: all there, every index inside the palette.
const char* CheckIndexedPixels(SourceReader& reader, const BmpHeader& header, int64_t palette_size) {
  if (header.bits != 1 && header.bits != 4 && header.bits != 8) {
    return nullptr;  // "bad bpp"
  }
  const uint64_t row_bytes = (uint64_t{header.width} * header.bits + 7) / 8;
  const uint64_t pad = (4 - row_bytes % 4) % 4;
  if (header.rows == 0 || header.width == 0) {
    return nullptr;
  }
  if (!reader.Has((header.rows - 1) * (row_bytes + pad) + row_bytes)) {
    return kPixelsShort;
  }
  for (uint64_t y = 0; y < header.rows; ++y, reader.Skip(pad)) {
    for (uint64_t i = 0, x = 0; i < row_bytes; ++i) {
      const uint32_t byte = reader.Get8();
      for (uint32_t shift = 8 - header.bits; x < header.width && shift < 8; shift -= header.bits, ++x) {
        if (static_cast<int64_t>((byte >> shift) & ((1U << header.bits) - 1U)) >= palette_size) {
          return "BMP pixel refers past the end of its palette";
        }
      }
    }
  }
  return nullptr;
}

// The pixel rows of a 16-, 24- or 32-bit image: all there.
const char* CheckDirectPixels(SourceReader& reader, const BmpHeader& header) {
  const Masks& masks = header.masks;
  const int64_t gap = int64_t{header.offset} - header.extra_read - header.size;
  if (gap < 0) {
    return kOffsetInHeader;
  }
  reader.Skip(static_cast<uint64_t>(gap));
  // The decoder's fast cases: 1 (24-bit), 2 (32-bit BGRA); 0 reads through the masks.
  const bool bgra =
      masks.blue == 0xffU && masks.green == 0xff00U && masks.red == 0x00ff0000U && masks.alpha == 0xff000000U;
  const int easy = header.bits == 24 ? 1 : (header.bits == 32 && bgra ? 2 : 0);
  if (easy == 0 &&
      (masks.red == 0 || masks.green == 0 || masks.blue == 0 || std::popcount(masks.red) > 8 ||
       std::popcount(masks.green) > 8 || std::popcount(masks.blue) > 8 || std::popcount(masks.alpha) > 8)) {
    return nullptr;  // "bad masks"
  }
  const uint64_t pixel_bytes = easy == 1 ? 3 : (easy == 0 && header.bits == 16 ? 2 : 4);
  const uint64_t width = header.width;
  const uint64_t row_width = header.bits == 24 ? 3ULL * width : (header.bits == 16 ? 2ULL * width : 0);
  const uint64_t pad = (4 - row_width % 4) % 4;
  if (header.rows == 0 || width == 0) {
    return nullptr;
  }
  return reader.Has(header.rows * width * pixel_bytes + (header.rows - 1) * pad) ? nullptr : kPixelsShort;
}

}  // namespace

const char* CheckBmp(SourceReader& reader) noexcept {
  BmpHeader header;
  if (const Verdict verdict = ReadHeader(reader, header)) {
    return *verdict;
  }
  const int64_t palette_size = PaletteSize(header);
  if (palette_size == 0 && int64_t{header.offset} != static_cast<int64_t>(reader.position())) {
    return nullptr;  // "bad offset"
  }
  const Masks& masks = header.masks;
  const uint64_t channels =
      (header.bits == 24 && masks.alpha == 0xff000000U) ? 3 : (masks.alpha != 0 ? 4 : 3);
  if (channels * header.width * header.rows > INT32_MAX) {
    return nullptr;
  }
  if (header.bits < 16) {
    if (const Verdict verdict = SkipPalette(reader, header, palette_size)) {
      return *verdict;
    }
    return CheckIndexedPixels(reader, header, palette_size);
  }
  return CheckDirectPixels(reader, header);
}

}  // namespace tarvelo::guard
