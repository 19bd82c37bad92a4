#pragma once

#include <cstdint>

namespace tarvelo {

// One source as everything in the decode room reads it: `size` bytes in memory,
// read in place and unchanged while they are read.
struct SourceBytes {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
};

}  // namespace tarvelo
