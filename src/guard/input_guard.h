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
const char* CheckSource(SourceFormat format, SourceReader& reader) noexcept;

}  // namespace tarvelo
