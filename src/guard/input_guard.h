#pragma once

#include <cstdint>
#include <iterator>
#include <optional>

#include "decode/source_reader.h"
#include "decode/stb_decoder.h"

namespace tarvelo {

// The input guard: cheap checks on a source's bytes, run before the decoder sees
// them. They refuse the malformed inputs on which the decoder misbehaves (writes out
// of bounds, crashes, loops forever, returns uninitialised memory as pixels, or
// allocates gigabytes for a few bytes of header) and nothing that it decodes
// correctly. Each check follows the decoder's own reading of its format, byte for
// byte, so it judges what the decoder will actually do.

// The guard's own allocation failure (see CheckSource).
inline constexpr char kCheckOutOfMemory[] = "out of memory while checking the source";

}  // namespace tarvelo

// One check per format the guard inspects; see CheckSource for the contract. Each
// reads the source from its first byte and returns null or the defect it found.
namespace tarvelo::guard {

const char* CheckBmp(SourceReader& reader) noexcept;
const char* CheckGif(SourceReader& reader) noexcept;
const char* CheckHdr(SourceReader& reader) noexcept;
const char* CheckJpeg(SourceReader& reader) noexcept;
const char* CheckPic(SourceReader& reader) noexcept;
const char* CheckPng(SourceReader& reader) noexcept;
const char* CheckPnm(SourceReader& reader) noexcept;
const char* CheckPsd(SourceReader& reader) noexcept;
const char* CheckTga(SourceReader& reader) noexcept;
// A source no format claims: names the kinds of PNM the decoder does not read.
const char* CheckUnread(SourceReader& reader) noexcept;

// A PNG's width times height from its IHDR; 0 without one. The decoder refuses a
// large PNG while reading its header, before the size cap is asked: this claim lets
// that refusal name the cap.
uint64_t PngClaimedPixels(SourceReader& reader) noexcept;

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

// A step's verdict when it ends a check: null (the source is left to the decoder,
// which refuses it itself or decodes it correctly) or the defect found. Empty: the
// check goes on.
using Verdict = std::optional<const char*>;
inline constexpr Verdict kLeaveToDecoder{nullptr};

// One run-length packet: the pixels it fills and the bytes of data after its header.
struct RunPacket {
  uint64_t pixels;
  uint64_t bytes;
};

// Run-length packets that fill `pixels`, as the decoders read them: the file must go
// on before each packet's header, which `packet(left)` reads. A packet that fills
// more than is left is refused by the decoder; data past the end is `short_data`.
template <typename ReadPacket>
Verdict CheckRuns(SourceReader& reader, uint64_t pixels, const char* short_data, ReadPacket packet) {
  for (uint64_t left = pixels; left > 0;) {
    if (reader.AtEnd()) {
      return short_data;
    }
    const RunPacket run = packet(left);
    if (run.pixels > left) {
      return nullptr;
    }
    if (!reader.Take(run.bytes)) {
      return short_data;
    }
    left -= run.pixels;
  }
  return std::nullopt;
}

// The reason for a source that stops before its format says it may.
inline constexpr char kFileEndsEarly[] = "file ends early";

// The decoder's own limit on each side (its STBI_MAX_DIMENSIONS default); larger
// sides are refused by the decoder itself.
inline constexpr uint32_t kDecoderMaxSide = uint32_t{1} << 24;

}  // namespace tarvelo::guard

namespace tarvelo {

// The guard's entry: the check for the source's format. Returns null when the
// source may be decoded, otherwise a short reason naming the defect ("JPEG Huffman
// table counts exceed 256"). Inputs that the decoder itself rejects cleanly are left
// to it. The reader starts at the file's first byte. An empty source is refused as
// such, and so is one the decoder does not recognise but that is a kind of image it
// does not read (plain-text PNM). The guard's own allocation failure gives
// kCheckOutOfMemory.
inline const char* CheckSource(SourceFormat format, SourceReader& reader) noexcept {
  using namespace guard;
  // In SourceFormat's order; a source of no format is otherwise refused by the decoder.
  static constexpr const char* (*kChecks[])(SourceReader&) noexcept = {
      CheckUnread, CheckPng, CheckBmp, CheckGif, CheckPsd, CheckPic, CheckJpeg, CheckPnm, CheckHdr, CheckTga};
  static_assert(std::size(kChecks) == static_cast<size_t>(SourceFormat::kTga) + 1);
  return reader.size() == 0 ? "source is empty" : kChecks[static_cast<int>(format)](reader);
}

}  // namespace tarvelo
