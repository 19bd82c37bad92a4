#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarvelo {

// One source as everything in the decode room reads it: `size` bytes in memory,
// read in place and unchanged while they are read.
struct SourceBytes {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
};

// Reads a source's bytes in memory front to back for the input guard, in place.
// Like the decoder, a read past the end yields 0; the guard asks Has() or AtEnd()
// to know whether the bytes are really there.
class SourceReader {
 public:
  // Reads `size` bytes at `data`, which must stay unchanged while the reader lives.
  SourceReader(const uint8_t* data, uint64_t size) noexcept
      : data_(data), size_(data != nullptr ? size : 0) {}
  explicit SourceReader(const SourceBytes& source) noexcept : SourceReader(source.data, source.size) {}

  uint8_t Get8() noexcept {
    const uint64_t at = position_;
    Skip(1);
    return at < size_ ? data_[at] : 0;
  }
  uint32_t Get16Be() noexcept { return GetBytes(2, true); }
  uint32_t Get16Le() noexcept { return GetBytes(2, false); }
  uint32_t Get32Be() noexcept { return GetBytes(4, true); }
  uint32_t Get32Le() noexcept { return GetBytes(4, false); }
  // `count` (at most 4) bytes as one number, most significant first when `big_endian`.
  uint32_t GetBytes(uint32_t count, bool big_endian) noexcept {
    uint32_t value = 0;
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t byte = Get8();
      value = big_endian ? (value << 8U) | byte : value | (byte << (8U * i));
    }
    return value;
  }
  // Moves forward; the position may pass the end, as the decoder's skips may.
  void Skip(uint64_t count) noexcept {
    position_ += count < UINT64_MAX - position_ ? count : UINT64_MAX - position_;
  }
  // Skips `count` bytes when they lie inside the source; false (and stays) otherwise.
  bool Take(uint64_t count) noexcept {
    if (!Has(count)) {
      return false;
    }
    position_ += count;
    return true;
  }
  // Moves just past the next byte equal to `value`; false (at the end) when there
  // is none.
  bool SkipPast(uint8_t value) noexcept {
    if (position_ >= size_) {
      return false;
    }
    const auto offset = static_cast<size_t>(position_);
    const void* found = std::memchr(data_ + offset, value, static_cast<size_t>(size_) - offset);
    if (found == nullptr) {
      position_ = size_;
      return false;
    }
    position_ = static_cast<uint64_t>(static_cast<const uint8_t*>(found) - data_) + 1;
    return true;
  }

  [[nodiscard]] uint64_t position() const noexcept { return position_; }
  [[nodiscard]] uint64_t size() const noexcept { return size_; }
  [[nodiscard]] bool AtEnd() const noexcept { return position_ >= size_; }
  // True when `count` more bytes lie inside the source.
  [[nodiscard]] bool Has(uint64_t count) const noexcept {
    return position_ <= size_ && size_ - position_ >= count;
  }

 private:
  const uint8_t* data_;
  uint64_t size_;
  uint64_t position_ = 0;
};

}  // namespace tarvelo
