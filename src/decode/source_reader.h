#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "decode/source_bytes.h"

namespace tarvelo {

// Reads a source front to back for the input guard: an open file or bytes in
// memory. Like the decoder, a read past the end yields 0; the guard asks Has() or
// AtEnd() to know whether the bytes are really there. A file is read through the
// same FILE the decoder will use, in blocks, so checking costs one pass over the
// file and no copy of it; memory is read in place.
class SourceReader {
 public:
  static constexpr size_t kBlockSize = size_t{16} * 1024;

  // `size` is the file's size when it was opened; the reader never reads past it.
  SourceReader(std::FILE* file, uint64_t size) noexcept;
  // Reads `size` bytes at `data`, which must stay unchanged while the reader lives.
  SourceReader(const uint8_t* data, size_t size) noexcept;
  // Reads a source from its first byte, whichever kind it is.
  explicit SourceReader(const SourceBytes& source) noexcept;
  SourceReader(const SourceReader&) = delete;
  SourceReader& operator=(const SourceReader&) = delete;
  ~SourceReader() = default;

  // False when the block buffer could not be allocated.
  [[nodiscard]] bool ready() const noexcept { return view_ != nullptr || (file_ == nullptr && size_ == 0); }

  uint8_t Get8() noexcept;
  uint32_t Get16Be() noexcept;
  uint32_t Get16Le() noexcept;
  uint32_t Get32Be() noexcept;
  uint32_t Get32Le() noexcept;
  // Moves forward; the position may pass the end, as the decoder's skips may.
  void Skip(uint64_t count) noexcept;
  // Moves just past the next byte equal to `value`; false (at the end) when there
  // is none. Scans whole blocks at a time.
  bool SkipPast(uint8_t value) noexcept;

  [[nodiscard]] uint64_t position() const noexcept { return position_; }
  [[nodiscard]] uint64_t size() const noexcept { return size_; }
  [[nodiscard]] bool AtEnd() const noexcept { return position_ >= size_; }
  // True when `count` more bytes lie inside the file.
  [[nodiscard]] bool Has(uint64_t count) const noexcept {
    return position_ <= size_ && size_ - position_ >= count;
  }
  // True when the file delivered fewer bytes than its size promised: it was
  // truncated or failed while being checked.
  [[nodiscard]] bool short_read() const noexcept { return short_read_; }

 private:
  bool Refill() noexcept;

  std::FILE* file_;
  uint64_t size_;
  uint64_t position_ = 0;
  std::unique_ptr<uint8_t[]> block_;
  const uint8_t* view_ = nullptr;  // the bytes read: block_ for a file, the data for memory
  uint64_t block_start_ = 0;       // file offset of view_[0]
  size_t block_length_ = 0;
  bool short_read_ = false;
};

}  // namespace tarvelo
