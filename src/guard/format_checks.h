#pragma once

#include "decode/source_reader.h"

// One check per format the guard inspects; see input_guard.h for the contract. Each
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
