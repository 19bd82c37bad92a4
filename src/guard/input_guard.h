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
