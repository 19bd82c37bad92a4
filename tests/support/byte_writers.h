#pragma once
// Appending little- and big-endian fields to a file being built byte by byte, as
// the hand-written encoders and the hostile-source builders do.

#include <cstdint>

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

}  // namespace tarvelo::test
