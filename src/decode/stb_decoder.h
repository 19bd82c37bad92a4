// The decoder unit: the one translation unit that compiles the decoder, and what the
// guard and the conversion borrow from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace tarvelo {

// The source formats the decoder reads, in the order in which it tries them.
enum class SourceFormat { kUnknown, kPng, kBmp, kGif, kPsd, kPic, kJpeg, kPnm, kHdr, kTga };

// Identifies the format the decoder will use for the file, with the decoder's own
// format tests in the decoder's own order, so the guard judges exactly the format
// that will be decoded. Reads from the start of `file` and leaves it rewound.
SourceFormat IdentifySourceFormat(std::FILE* file) noexcept;
// The same for `size` bytes in memory.
SourceFormat IdentifySourceFormat(const uint8_t* data, size_t size) noexcept;

// The format's usual name ("JPEG", "PNG", ...); "unknown" for kUnknown. Static.
const char* SourceFormatName(SourceFormat format) noexcept;

// Releases a decoder pixel buffer through the decoder's own free.
struct DecoderBufferDeleter {
  void operator()(unsigned char* pixels) const noexcept;
};
using DecoderBuffer = std::unique_ptr<unsigned char, DecoderBufferDeleter>;

// Inflates a zlib stream (or a raw deflate stream when `zlib_header` is false)
// exactly as the decoder does for PNG image data: with its own inflater, into a
// buffer that starts at `expected_size` bytes and grows as the stream needs. Returns
// the buffer (release it with FreeDecoderMemory) and sets `inflated_size`, or returns null
// when the decoder would reject the stream.
uint8_t* InflateLikeDecoder(const uint8_t* data, size_t size, size_t expected_size, bool zlib_header,
                            size_t& inflated_size) noexcept;

}  // namespace tarvelo
