#include "decode/source_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace tarvelo {
namespace {

// A seek that reaches past 2 GiB where `long` is 32 bits.
bool SeekTo(std::FILE* file, uint64_t offset) noexcept {
  if (offset > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return false;
  }
#if defined(_WIN32)
  return _fseeki64(file, static_cast<int64_t>(offset), SEEK_SET) == 0;
#else
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

}  // namespace

// A file is read in blocks; memory is one block that holds everything, so that no
// read ever refills it.
SourceReader::SourceReader(const SourceBytes& source) noexcept
    : file_(source.file),
      size_(source.file != nullptr || source.data != nullptr ? source.size : 0),
      block_(source.file != nullptr ? new (std::nothrow) uint8_t[kBlockSize] : nullptr),
      view_(source.file != nullptr ? block_.get() : source.data),
      block_length_(source.file == nullptr && source.data != nullptr ? static_cast<size_t>(source.size) : 0) {
}

SourceReader::SourceReader(std::FILE* file, uint64_t size) noexcept
    : SourceReader(SourceBytes{.file = file, .size = size}) {}

SourceReader::SourceReader(const uint8_t* data, size_t size) noexcept
    : SourceReader(SourceBytes{.data = data, .size = size}) {}

bool SourceReader::Refill() noexcept {
  if (file_ == nullptr || !ready() || position_ >= size_) {
    return false;
  }
  // Continue where the last block ended; a skip past it needs a seek.
  if (position_ != block_start_ + block_length_ || block_length_ == 0) {
    if (!SeekTo(file_, position_)) {
      short_read_ = true;
      return false;
    }
  }
  const auto wanted = static_cast<size_t>(std::min<uint64_t>(kBlockSize, size_ - position_));
  block_start_ = position_;
  block_length_ = std::fread(block_.get(), 1, wanted, file_);
  if (block_length_ < wanted) {
    short_read_ = true;
  }
  return block_length_ > 0;
}

uint8_t SourceReader::Get8() noexcept {
  if (position_ >= size_) {
    ++position_;
    return 0;
  }
  if (position_ < block_start_ || position_ >= block_start_ + block_length_) {
    if (!Refill()) {
      ++position_;
      return 0;
    }
  }
  return view_[position_++ - block_start_];
}

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

void SourceReader::Skip(uint64_t count) noexcept {
  const uint64_t room = std::numeric_limits<uint64_t>::max() - position_;
  position_ += std::min(count, room);
}

}  // namespace tarvelo

namespace tarvelo {

bool SourceReader::SkipPast(uint8_t value) noexcept {
  while (position_ < size_) {
    if (position_ < block_start_ || position_ >= block_start_ + block_length_) {
      if (!Refill()) {
        position_ = size_;
        return false;
      }
    }
    const size_t offset = static_cast<size_t>(position_ - block_start_);
    const void* found = std::memchr(view_ + offset, value, block_length_ - offset);
    if (found != nullptr) {
      position_ = block_start_ + static_cast<uint64_t>(static_cast<const uint8_t*>(found) - view_) + 1;
      return true;
    }
    position_ = block_start_ + block_length_;
  }
  return false;
}

}  // namespace tarvelo
