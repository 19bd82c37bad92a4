#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvelo::fuzz {

// Hands out a fuzz input piece by piece; past the end every value is 0.
class ByteSource {
 public:
  ByteSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t Byte() { return offset_ < size_ ? data_[offset_++] : 0; }
  uint32_t U16() { return Byte() | (static_cast<uint32_t>(Byte()) << 8U); }
  uint32_t U32() { return U16() | (U16() << 16U); }
  [[nodiscard]] const uint8_t* rest() const { return data_ + offset_; }
  [[nodiscard]] size_t remaining() const { return size_ - offset_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

}  // namespace tarvelo::fuzz
