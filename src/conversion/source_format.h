#pragma once

#include <cstdio>

namespace tarvelo {

// The source formats the decoder reads, in the order in which it tries them.
enum class SourceFormat { kUnknown, kPng, kBmp, kGif, kPsd, kPic, kJpeg, kPnm, kHdr, kTga };

// Identifies the format the decoder will use for the file, with the decoder's own
// format tests in the decoder's own order, so the guard judges exactly the format
// that will be decoded. Reads from the start of `file` and leaves it rewound.
SourceFormat IdentifySourceFormat(std::FILE* file) noexcept;

}  // namespace tarvelo
