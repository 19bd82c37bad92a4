#pragma once

#include <cstdint>

#include "decode/source_reader.h"

namespace tarvelo::guard {

// A PNG chunk type from its four-letter name.
constexpr uint32_t PngChunkType(const char (&name)[5]) {
  return (uint32_t{static_cast<uint8_t>(name[0])} << 24U) | (uint32_t{static_cast<uint8_t>(name[1])} << 16U) |
         (uint32_t{static_cast<uint8_t>(name[2])} << 8U) | uint32_t{static_cast<uint8_t>(name[3])};
}

// A PNG's chunks as the decoder walks them: after the 8-byte signature, each chunk is
// a 4-byte length, a 4-byte type, its data and a 4-byte CRC. The one chunk walker of
// the library: the guard's PNG check and the conversion's scans all use it.
struct PngChunk {
  uint32_t length = 0;
  uint32_t type = 0;
  uint64_t next = 8;  // the next chunk's offset: the first follows the signature
};

// Moves to the next chunk, past whatever of the current chunk's data the caller did
// not read (it reads at most the data) and its CRC, and reads the chunk's length
// and type; the reader is then at its data. False when fewer bytes than a chunk's
// length and type remain. A fresh `chunk` starts at the reader's first byte.
bool NextPngChunk(SourceReader& reader, PngChunk& chunk) noexcept;

// True when a tRNS chunk comes before the image data: it gives a grey or RGB image
// an alpha channel when it is decoded, which the decoder's header scan does not
// report.
bool PngHasTransparency(SourceReader& reader) noexcept;

}  // namespace tarvelo::guard
