#pragma once

// The programs' API's sources, as the tests build them (C++ cannot leave the other
// fields out of a designated initialiser without a warning).
#include <cstddef>
#include <string>

#include "TarveloConvert.h"

namespace tarvelo::test {

inline TarveloSource FileSource(const std::string& path) {
  TarveloSource source{};
  source.kind = TARVELO_SOURCE_FILE;
  source.path = path.c_str();
  return source;
}

inline TarveloSource MemorySource(const void* data, size_t size) {
  TarveloSource source{};
  source.kind = TARVELO_SOURCE_MEMORY;
  source.data = data;
  source.size = size;
  return source;
}

}  // namespace tarvelo::test
