#pragma once
// Building files byte by byte, as the hand-written encoders and the hostile-source
// builders do: little- and big-endian fields, text, PNG chunks and GIF image data.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "file_bytes.h"

namespace tarvelo::test {

inline void Put16Le(Bytes& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8U));
}

inline void Put32Le(Bytes& out, uint32_t value) {
  Put16Le(out, value & 0xFFFFU);
  Put16Le(out, value >> 16U);
}

inline void Put16Be(Bytes& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8U));
  out.push_back(static_cast<uint8_t>(value));
}

inline void Put32Be(Bytes& out, uint32_t value) {
  Put16Be(out, value >> 16U);
  Put16Be(out, value & 0xFFFFU);
}

inline void Append(Bytes& out, std::initializer_list<uint8_t> bytes) { out.insert(out.end(), bytes); }
inline void Append(Bytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }

// CRC-32 as PNG defines it (reflected polynomial 0xEDB88320), bit by bit.
inline uint32_t Crc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFU;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1U) ^ (0xEDB88320U & (0U - (crc & 1U)));
    }
  }
  return ~crc;
}

// A PNG chunk: length, four-letter type, data, CRC of type and data.
inline void PutPngChunk(Bytes& png, const char* type, const Bytes& data) {
  Put32Be(png, static_cast<uint32_t>(data.size()));
  const size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  Put32Be(png, Crc32(png.data() + start, png.size() - start));
}

// GIF image data for 8-bit indices (LZW minimum code size 8), in 9-bit codes only:
// every literal after a clear code adds a table entry, and a clear code every 250
// literals keeps the table below 512 entries, so the code size never grows. The
// codes are cut into sub-blocks of at most 255 bytes; the terminating empty
// sub-block is the caller's.
inline void PutGifImageData(Bytes& gif, const Bytes& indices) {
  constexpr uint32_t kClear = 256;
  constexpr uint32_t kEnd = 257;
  constexpr uint32_t kCodeBits = 9;
  constexpr size_t kLiteralsPerClear = 250;
  Bytes packed;
  uint32_t bit_buffer = 0;
  uint32_t bit_count = 0;
  const auto emit = [&](uint32_t code) {
    bit_buffer |= code << bit_count;
    bit_count += kCodeBits;
    while (bit_count >= 8) {
      packed.push_back(static_cast<uint8_t>(bit_buffer));
      bit_buffer >>= 8U;
      bit_count -= 8;
    }
  };
  for (size_t i = 0; i < indices.size(); ++i) {
    if (i % kLiteralsPerClear == 0) {
      emit(kClear);
    }
    emit(indices[i]);
  }
  emit(kEnd);
  if (bit_count > 0) {
    packed.push_back(static_cast<uint8_t>(bit_buffer));
  }
  for (size_t start = 0; start < packed.size(); start += 255) {
    const size_t length = std::min<size_t>(255, packed.size() - start);
    gif.push_back(static_cast<uint8_t>(length));
    gif.insert(gif.end(), packed.begin() + static_cast<std::ptrdiff_t>(start),
               packed.begin() + static_cast<std::ptrdiff_t>(start + length));
  }
}

}  // namespace tarvelo::test
