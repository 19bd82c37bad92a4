#pragma once

#include <cstdint>
#include <cstdio>

namespace tarvelo {

// One source as everything in the decode room reads it: an open file, read from
// its start each time and never past `size` (its size when it was opened), or
// `size` bytes in memory, read in place and unchanged while they are read. Exactly
// one of `file` and `data` is set; the readers tell the two apart, nobody else.
struct SourceBytes {
  std::FILE* file = nullptr;
  const uint8_t* data = nullptr;
  uint64_t size = 0;
};

}  // namespace tarvelo
