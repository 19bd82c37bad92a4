#include "decode/source_reader.h"

#include <cstring>

namespace tarvelo {

uint32_t SourceReader::Get16Be() noexcept {
  const uint32_t high = Get8();
  return (high << 8U) | Get8();
}

uint32_t SourceReader::Get16Le() noexcept {
  const uint32_t low = Get8();
  return low | (static_cast<uint32_t>(Get8()) << 8U);
}

uint32_t SourceReader::Get32Be() noexcept {
  const uint32_t high = Get16Be();
  return (high << 16U) | Get16Be();
}

uint32_t SourceReader::Get32Le() noexcept {
  const uint32_t low = Get16Le();
  return low | (Get16Le() << 16U);
}

bool SourceReader::SkipPast(uint8_t value) noexcept {
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

}  // namespace tarvelo
