#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "writer/write_failure.h"

namespace tarvelo {

// Where the writer's bytes finally go: a destination file, a file stream, a
// caller's callback or a buffer in memory. The byte sink stages bytes and hands them
// here in large blocks; every output shares the one writer, so all produce the same
// bytes.
class ByteOutput {
 public:
  ByteOutput() = default;
  ByteOutput(const ByteOutput&) = delete;
  ByteOutput& operator=(const ByteOutput&) = delete;

  // Before the first byte: `size` bytes are coming. False (with `failure`) when the
  // output cannot take them; nothing is written then.
  virtual bool Begin(uint64_t /*size*/, WriteFailure& /*failure*/) noexcept { return true; }

  // Takes `size` (> 0) bytes. Returns 0 when all of them were taken, otherwise an
  // errno value that says why not. After a failure no further call is made.
  virtual int Write(const uint8_t* data, size_t size) noexcept = 0;

  // After the last byte, when every byte was taken. False (with `failure`) when the
  // output could not be completed.
  virtual bool Finish(WriteFailure& /*failure*/) noexcept { return true; }

 protected:
  ~ByteOutput() = default;
};

// A stdio stream opened for writing.
class StreamOutput final : public ByteOutput {
 public:
  explicit StreamOutput(std::FILE* stream) noexcept : stream_(stream) {}
  int Write(const uint8_t* data, size_t size) noexcept override;

 private:
  std::FILE* stream_;
};

// The error a callback's refusal is reported with: the caller said no, the system
// did not.
inline constexpr int kOutputRefused = -1;

// A caller's function: nonzero when it took the bytes, 0 to stop the write.
class CallbackOutput final : public ByteOutput {
 public:
  using Function = int (*)(void* context, const void* data, size_t size);
  CallbackOutput(Function function, void* context) noexcept : function_(function), context_(context) {}
  int Write(const uint8_t* data, size_t size) noexcept override;

 private:
  Function function_;
  void* context_;
};

// A buffer of fixed capacity, filled front to back; bytes beyond it are refused.
// The writer knows a file's exact size before it writes, so the buffer is
// allocated once and never grows; a write that ends short of filling it failed.
class BufferOutput final : public ByteOutput {
 public:
  BufferOutput(uint8_t* buffer, size_t capacity) noexcept : buffer_(buffer), capacity_(capacity) {}
  int Write(const uint8_t* data, size_t size) noexcept override;
  bool Finish(WriteFailure& failure) noexcept override;
  [[nodiscard]] size_t size() const noexcept { return used_; }

 private:
  uint8_t* buffer_;
  size_t capacity_;
  size_t used_ = 0;
};

}  // namespace tarvelo
