#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "background_writer.h"

namespace tarvelo {

// Stages output bytes in a small fixed buffer and hands them to the stream in
// large blocks. Memory use is constant whatever the image size, and the pixel
// routines fill the buffer with plain stores instead of one library call per byte.
//
// For a large file, WriteInBackground adds a second buffer and a thread that
// writes one buffer while the other is being filled.
class ByteSink {
 public:
  static constexpr size_t kCapacity = size_t{64} * 1024;

  explicit ByteSink(std::FILE* stream) noexcept;
  ByteSink(const ByteSink&) = delete;
  ByteSink& operator=(const ByteSink&) = delete;
  ~ByteSink() = default;

  // False when the staging buffer could not be allocated.
  [[nodiscard]] bool ready() const noexcept { return buffer_ != nullptr; }

  // From now on, full buffers are written on a thread of their own. Returns false
  // (and everything stays on the calling thread) when that is not possible.
  bool WriteInBackground() noexcept;

  // Room for at least `bytes` (<= kCapacity) more bytes, flushing first if needed.
  // Returns the write position; the caller advances it with Commit.
  uint8_t* Reserve(size_t bytes) noexcept;
  void Commit(const uint8_t* end) noexcept { used_ = static_cast<size_t>(end - buffer_.get()); }
  [[nodiscard]] size_t available() const noexcept { return kCapacity - used_; }

  void Put(uint8_t byte) noexcept;
  void PutZeros(size_t count) noexcept;

  // Hands everything staged to the stream and waits until it is there. False once
  // any hand-over failed; the errno of the first failure is kept.
  bool Flush() noexcept;
  [[nodiscard]] bool failed() const noexcept { return error_number_ != 0; }
  [[nodiscard]] int error_number() const noexcept { return error_number_; }

 private:
  // Passes the staged bytes on (to the background writer, if any) and empties the buffer.
  void HandOver() noexcept;

  std::FILE* stream_;
  std::unique_ptr<uint8_t[]> buffer_;
  std::unique_ptr<uint8_t[]> spare_;          // the buffer being written in the background
  std::unique_ptr<BackgroundWriter> writer_;  // declared last: stopped before the buffers go
  size_t used_ = 0;
  int error_number_ = 0;
};

}  // namespace tarvelo
