#pragma once

#include "decode/source_reader.h"
#include "decode/stb_decoder.h"

namespace tarvelo {

// The input guard: cheap checks on a source's bytes, run before the decoder sees
// them. They refuse the malformed inputs on which the decoder misbehaves (writes out
// of bounds, crashes, loops forever, returns uninitialised memory as pixels, or
// allocates gigabytes for a few bytes of header) and nothing that it decodes
// correctly. Each check follows the decoder's own reading of its format, byte for
// byte, so it judges what the decoder will actually do.
//
// Returns null when the source may be decoded, otherwise a short reason naming the
// defect ("JPEG Huffman table counts exceed 256"). Inputs that the decoder itself
// rejects cleanly are left to it. The reader starts at the file's first byte.
// An empty source is refused as such, and so is one the decoder does not recognise
// but that is a kind of image it does not read (plain-text PNM). The guard's own
// allocation failure gives kCheckOutOfMemory.
const char* CheckSource(SourceFormat format, SourceReader& reader) noexcept;

inline constexpr char kCheckOutOfMemory[] = "out of memory while checking the source";

// The pixels a source's header claims, for the formats whose decoder refuses a
// large image while reading its header (before the size cap is asked), so that the
// refusal names the cap; 0 for the others or when the header says nothing.
uint64_t ClaimedSourcePixels(SourceFormat format, SourceReader& reader) noexcept;

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

// A PNG's width times height from its IHDR; 0 without one.
uint64_t PngClaimedPixels(SourceReader& reader) noexcept;

// The reason for a source that stops before its format says it may.
inline constexpr char kFileEndsEarly[] = "file ends early";

// The decoder's own limit on each side (its STBI_MAX_DIMENSIONS default); larger
// sides are refused by the decoder itself.
inline constexpr uint32_t kDecoderMaxSide = uint32_t{1} << 24;

}  // namespace tarvelo::guard
