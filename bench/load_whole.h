// Decodes a source as the library does: the file read whole into memory first, then
// decoded from there. Null when it cannot be read or decoded.
#pragma once

#include <stb/stb_image.h>

#include <climits>
#include <cstdio>
#include <vector>

inline stbi_uc* LoadWhole(const char* path, int* width, int* height, int* channels) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    return nullptr;
  }
  std::vector<stbi_uc> bytes;
  stbi_uc block[1 << 16];
  for (size_t got = 0; (got = std::fread(block, 1, sizeof block, file)) > 0;) {
    bytes.insert(bytes.end(), block, block + got);
  }
  (void)std::fclose(file);
  if (bytes.empty() || bytes.size() > INT_MAX) {
    return nullptr;
  }
  return stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), width, height, channels, 0);
}
