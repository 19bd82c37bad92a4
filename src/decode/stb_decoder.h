// The decoder unit: the one translation unit that compiles the decoder, and the one
// door to it: everything the guard and the conversion ask of the decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "decode/source_reader.h"

namespace tarvelo {

// The source formats the decoder reads, in the order in which it tries them.
enum class SourceFormat { kUnknown, kPng, kBmp, kGif, kPsd, kPic, kJpeg, kPnm, kHdr, kTga };

// Identifies the format the decoder will use for the source, with the decoder's own
// format tests in the decoder's own order, so the guard judges exactly the format
// that will be decoded. Reads from the source's start. A memory source over
// INT_MAX bytes is kUnknown: the decoder counts its bytes in an int.
SourceFormat IdentifySourceFormat(const SourceBytes& source) noexcept;

// The format's usual name ("JPEG", "PNG", ...); "unknown" for kUnknown. Static.
const char* SourceFormatName(SourceFormat format) noexcept;

// Releases a decoder pixel buffer through the decoder's own free.
struct DecoderBufferDeleter {
  void operator()(unsigned char* pixels) const noexcept;
};
using DecoderBuffer = std::unique_ptr<unsigned char, DecoderBufferDeleter>;

// The decoder's header scan, from the source's start: the size and channel count it
// reports (a top-down BMP's height negative) without decoding the pixels. False when
// the decoder refuses the source (see DecoderFailureReason).
bool ReadDecoderInfo(const SourceBytes& source, int& width, int& height, int& channels) noexcept;

// Decodes the source from its start, 8 bits per channel, keeping its own channel
// count. Null when the decoder fails (see DecoderFailureReason).
DecoderBuffer DecodePixels(const SourceBytes& source, int& width, int& height, int& channels) noexcept;

// The decoder's terse reason for the last failure on this thread (in a build without
// helper threads, in the process: see DecoderMemoryScope) ("outofdata", "bad
// huffman code"); null when it gave none. Static text.
const char* DecoderFailureReason() noexcept;

// A terse reason of the decoder's for a source of `format` put in plain words on one
// line, into `out` (capacity `size` > 0, truncated, always terminated): "file ends early",
// "corrupt JPEG data (bad huffman code)". A null or empty reason gives "the decoder
// could not read the FORMAT data".
void DescribeDecoderFailure(SourceFormat format, const char* terse_reason, char* out, size_t size) noexcept;

// Inflates a zlib stream (or a raw deflate stream when `zlib_header` is false)
// exactly as the decoder does for PNG image data: with its own inflater, into a
// buffer that starts at `expected_size` bytes and grows as the stream needs. Returns
// the buffer (release it with FreeDecoderMemory) and sets `inflated_size`, or returns null
// when the decoder would reject the stream.
uint8_t* InflateLikeDecoder(const uint8_t* data, size_t size, size_t expected_size, bool zlib_header,
                            size_t& inflated_size) noexcept;

}  // namespace tarvelo
