#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvelo {

// Inflates a zlib stream (or a raw deflate stream when `zlib_header` is false) with
// the decoder's own inflater into `out`, stopping when `capacity` bytes are there.
// Returns how many bytes it produced; a corrupt stream stops early.
size_t InflateWithDecoder(const uint8_t* data, size_t size, uint8_t* out, size_t capacity,
                          bool zlib_header) noexcept;

}  // namespace tarvelo
