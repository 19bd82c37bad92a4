#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvelo {

// Inflates a zlib stream (or a raw deflate stream when `zlib_header` is false)
// exactly as the decoder does for PNG image data: with its own inflater, into a
// buffer that starts at `expected_size` bytes and grows as the stream needs. Returns
// the buffer (release it with FreeDecoderMemory) and sets `inflated_size`, or returns null
// when the decoder would reject the stream.
uint8_t* InflateLikeDecoder(const uint8_t* data, size_t size, size_t expected_size, bool zlib_header,
                            size_t& inflated_size) noexcept;

}  // namespace tarvelo
