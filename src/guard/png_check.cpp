// PNG, two defects.
//
// Chunk lengths: the decoder grows its image-data buffer to a chunk's claimed
// length before it reads the chunk, so a few bytes claiming 2 GiB cost 2 GiB of
// address space (and the time to map it) before the decoder notices the file ends.
// Every chunk up to IEND must fit inside the source.
//
// PNG with a palette: the decoder looks indices up in a stack table of 256 entries
// of which only the file's palette is filled, so an index past the palette copies
// uninitialised stack bytes into the image. The indices are inside the compressed,
// filtered image data: the check inflates it as the decoder will (with the
// decoder's own inflater), undoes the row filters and looks at every index. Images
// without a palette are left to the decoder, which checks its zlib stream itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "decode/decode_limits.h"
#include "decode/stb_decoder.h"
#include "guard/input_guard.h"

namespace tarvelo::guard {
namespace {

// What the decoder's inflater returns goes back to the decoder's allocator
// (FreeDecoderMemory); the gathered image data is the check's own heap memory (free).
using Buffer = std::unique_ptr<uint8_t, void (*)(void*)>;

struct Header {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t depth = 0;
  bool interlaced = false;
};

// One pass of the image (the whole image when not interlaced).
struct Pass {
  uint32_t width;
  uint32_t height;
  // Its bytes in the inflated data: a filter byte and the packed indices per row.
  [[nodiscard]] size_t Bytes(uint32_t depth) const { return ((size_t{width} * depth + 7) / 8 + 1) * height; }
};

uint8_t Paeth(int left, int above, int upper_left) {
  const int estimate = left + above - upper_left;
  const int to_left = std::abs(estimate - left);
  const int to_above = std::abs(estimate - above);
  const int to_upper_left = std::abs(estimate - upper_left);
  if (to_left <= to_above && to_left <= to_upper_left) {
    return static_cast<uint8_t>(left);
  }
  return static_cast<uint8_t>(to_above <= to_upper_left ? above : upper_left);
}

// Undoes the row filters of one pass in place and checks its indices. `data` holds
// a filter byte and `row_bytes` bytes per row. False when an index is past the
// palette; a filter the decoder rejects ends the check (the decoder fails there).
bool PassIndicesInside(uint8_t* data, const Pass& pass, uint32_t depth, uint32_t palette_size) {
  const size_t row_bytes = (size_t{pass.width} * depth + 7) / 8;
  const uint8_t* previous = nullptr;
  for (uint32_t y = 0; y < pass.height; ++y) {
    uint8_t* row = data + y * (row_bytes + 1);
    const uint8_t filter = row[0];
    uint8_t* bytes = row + 1;
    if (filter > 4) {
      return true;
    }
    for (size_t i = 0; i < row_bytes; ++i) {
      const int left = i > 0 ? bytes[i - 1] : 0;
      const int above = previous != nullptr ? previous[i] : 0;
      const int upper_left = (previous != nullptr && i > 0) ? previous[i - 1] : 0;
      switch (filter) {
        case 1: bytes[i] = static_cast<uint8_t>(bytes[i] + left); break;
        case 2: bytes[i] = static_cast<uint8_t>(bytes[i] + above); break;
        case 3: bytes[i] = static_cast<uint8_t>(bytes[i] + (left + above) / 2); break;
        case 4: bytes[i] = static_cast<uint8_t>(bytes[i] + Paeth(left, above, upper_left)); break;
        default: break;
      }
    }
    for (uint32_t x = 0; x < pass.width; ++x) {
      const size_t bit = size_t{x} * depth;
      const uint32_t index = (bytes[bit / 8] >> (8 - depth - bit % 8)) & ((1U << depth) - 1U);
      if (index >= palette_size) {
        return false;
      }
    }
    previous = bytes;
  }
  return true;
}

const char* CheckIndices(const Header& header, const uint8_t* compressed, size_t compressed_size,
                         bool zlib_header, uint32_t palette_size) {
  // Adam7's seven passes, or (the last entry) the whole image as one.
  static constexpr uint32_t kOriginX[8] = {0, 4, 0, 2, 0, 1, 0, 0};
  static constexpr uint32_t kOriginY[8] = {0, 0, 4, 0, 2, 0, 1, 0};
  static constexpr uint32_t kSpacingX[8] = {8, 8, 4, 4, 2, 2, 1, 1};
  static constexpr uint32_t kSpacingY[8] = {8, 8, 8, 4, 4, 2, 2, 1};
  Pass passes[7];
  int pass_count = 0;
  size_t total = 0;
  for (int p = header.interlaced ? 0 : 7; p < (header.interlaced ? 7 : 8); ++p) {
    const uint32_t width = (header.width - kOriginX[p] + kSpacingX[p] - 1) / kSpacingX[p];
    const uint32_t height = (header.height - kOriginY[p] + kSpacingY[p] - 1) / kSpacingY[p];
    if (header.width > kOriginX[p] && header.height > kOriginY[p] && width > 0 && height > 0) {
      passes[pass_count] = {width, height};
      total += passes[pass_count++].Bytes(header.depth);
    }
  }
  // The decoder inflates the whole stream, however long, and ignores what follows
  // the image; so does the check.
  size_t inflated_size = 0;
  const Buffer raw(InflateLikeDecoder(compressed, compressed_size, total, zlib_header, inflated_size),
                   FreeDecoderMemory);
  if (!raw || inflated_size < total) {
    return nullptr;  // a corrupt stream or too little image data: the decoder refuses it
  }
  uint8_t* data = raw.get();
  for (int p = 0; p < pass_count; ++p) {
    if (!PassIndicesInside(data, passes[p], header.depth, palette_size)) {
      return "PNG pixel refers past the end of its palette";
    }
    data += passes[p].Bytes(header.depth);
  }
  return nullptr;
}

}  // namespace

const char* CheckPng(SourceReader& reader) noexcept {
  Header header;
  bool first = true;
  bool palette = false;  // indices to check
  bool zlib_header = true;
  uint32_t palette_size = 0;
  uint32_t filled_entries = 0;
  Buffer compressed(nullptr, [](void* bytes) { std::free(bytes); });
  size_t compressed_size = 0;
  // Chunks as the decoder walks them; wherever it would stop with an error, the
  // check stops too and leaves the refusal to it.
  PngChunk chunk;
  while (NextPngChunk(reader, chunk)) {
    const uint32_t length = chunk.length;
    const uint32_t type = chunk.type;
    // The decoder reads IEND's data but not its CRC; every other chunk's CRC too.
    if (!reader.Has(uint64_t{length} + (type == PngChunkType("IEND") ? 0U : 4U))) {
      return kFileEndsEarly;
    }
    if (type == PngChunkType("CgBI")) {
      zlib_header = false;  // the decoder inflates these without a zlib header
    } else if (type == PngChunkType("IHDR")) {
      if (!first || length != 13) {
        return nullptr;
      }
      first = false;
      header.width = reader.Get32Be();
      header.height = reader.Get32Be();
      header.depth = reader.Get8();
      const uint32_t colour = reader.Get8();
      reader.Skip(2);  // compression, filter: checked by the decoder
      header.interlaced = reader.Get8() == 1;
      palette = colour == 3;
      if (palette && (header.width == 0 || header.height == 0 || header.width > kDecoderMaxSide ||
                      header.height > kDecoderMaxSide ||
                      (header.depth != 1 && header.depth != 2 && header.depth != 4 && header.depth != 8) ||
                      (uint32_t{1} << 30U) / header.width / 4 < header.height ||
                      uint64_t{header.width} * header.height > kMaxAddressablePixels)) {
        return nullptr;  // refused by the decoder or by the size limit
      }
    } else if (type == PngChunkType("PLTE")) {
      if (first || length > 256 * 3 || length % 3 != 0) {
        return nullptr;
      }
      // Entries an earlier, longer palette filled stay filled: the decoder's table
      // holds the longest palette seen, while the last one counts as its length.
      palette_size = length / 3;
      filled_entries = palette_size > filled_entries ? palette_size : filled_entries;
    } else if (type == PngChunkType("IDAT")) {
      if (first || (palette && palette_size == 0) || compressed_size + length > INT32_MAX) {
        return nullptr;
      }
      if (palette) {
        auto* grown = static_cast<uint8_t*>(std::realloc(compressed.get(), compressed_size + length));
        if (grown == nullptr) {
          return kCheckOutOfMemory;
        }
        static_cast<void>(compressed.release());
        compressed.reset(grown);
        for (uint32_t i = 0; i < length; ++i) {
          grown[compressed_size + i] = reader.Get8();
        }
      }
      compressed_size += length;
    } else if (type == PngChunkType("IEND")) {
      if (first || compressed_size == 0 || !palette) {
        return nullptr;
      }
      return CheckIndices(header, compressed.get(), compressed_size, zlib_header, filled_entries);
    } else {
      if (first || (type & (uint32_t{1} << 29U)) == 0) {
        return nullptr;  // unknown critical chunk
      }
    }
  }
  return nullptr;
}

uint64_t PngClaimedPixels(SourceReader& reader) noexcept {
  PngChunk chunk;
  if (!NextPngChunk(reader, chunk) || chunk.length != 13 || chunk.type != PngChunkType("IHDR")) {
    return 0;
  }
  const uint32_t width = reader.Get32Be();
  return uint64_t{width} * reader.Get32Be();
}

bool NextPngChunk(SourceReader& reader, PngChunk& chunk) noexcept {
  if (reader.position() < chunk.next) {
    reader.Skip(chunk.next - reader.position());
  }
  if (!reader.Has(8)) {
    return false;
  }
  chunk.length = reader.Get32Be();
  chunk.type = reader.Get32Be();
  chunk.next = reader.position() + chunk.length + 4;
  return true;
}

bool PngHasTransparency(SourceReader& reader) noexcept {
  PngChunk chunk;
  while (NextPngChunk(reader, chunk)) {
    if (chunk.type == PngChunkType("tRNS")) {
      return true;
    }
    if (chunk.type == PngChunkType("IDAT") || chunk.type == PngChunkType("IEND")) {
      return false;
    }
  }
  return false;
}

}  // namespace tarvelo::guard
