#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/file_system.h"

namespace tarvelo {

// Why a write did not produce the destination. The writer's own result stays 1/0
// (written or not); this tells callers that want to know which step failed.
enum class WriteFailureKind {
  kNone,
  kOpenFailed,   // destination or its temporary file could not be created
  kWriteFailed,  // a write, flush, close or the final rename failed
  kTooLarge,     // the image does not fit the layout's header fields
};

using platform::kPipeWithoutReader;

struct WriteFailure {
  WriteFailureKind kind = WriteFailureKind::kNone;
  int error_number = 0;  // errno of the failing call, 0 when none applies
};

// Where the writer's bytes finally go: a destination file (writer/destination_file.h),
// a caller's callback or a new buffer in memory. The byte sink stages bytes and
// hands them here in large blocks; every output shares the one writer, so all
// produce the same bytes.
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

// The error a callback's refusal is reported with: the caller said no, the system
// did not.
inline constexpr int kOutputRefused = -1;

// A caller's function: nonzero when it took the bytes, 0 to stop the write.
class CallbackOutput final : public ByteOutput {
 public:
  using Function = int (*)(void* context, const void* data, size_t size);
  CallbackOutput(Function function, void* context) noexcept : function_(function), context_(context) {}
  int Write(const uint8_t* data, size_t size) noexcept override {
    return function_(context_, data, size) != 0 ? 0 : kOutputRefused;
  }

 private:
  Function function_;
  void* context_;
};

// A new buffer (malloc) of the file's exact size, taken when the writer says how
// much is coming, so that it never grows: bytes beyond it are refused, and a write
// that ends short of filling it failed. The caller takes the buffer over with
// Release once the write succeeded; otherwise it is freed with the output.
class BufferOutput final : public ByteOutput {
 public:
  ~BufferOutput() { std::free(buffer_); }

  bool Begin(uint64_t size, WriteFailure& failure) noexcept override {
    buffer_ = size <= SIZE_MAX ? static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size))) : nullptr;
    if (buffer_ == nullptr) {
      failure = {WriteFailureKind::kWriteFailed, ENOMEM};
      return false;
    }
    capacity_ = static_cast<size_t>(size);
    return true;
  }
  int Write(const uint8_t* data, size_t size) noexcept override {
    if (size > capacity_ - used_) {
      return EOVERFLOW;
    }
    std::memcpy(buffer_ + used_, data, size);
    used_ += size;
    return 0;
  }
  bool Finish(WriteFailure& failure) noexcept override {
    if (used_ != capacity_) {
      failure = {WriteFailureKind::kWriteFailed, EIO};
      return false;
    }
    return true;
  }
  // The buffer and its size; the output no longer owns it.
  uint8_t* Release(size_t& size) noexcept {
    size = used_;
    uint8_t* buffer = buffer_;
    buffer_ = nullptr;
    return buffer;
  }

 private:
  uint8_t* buffer_ = nullptr;
  size_t capacity_ = 0;
  size_t used_ = 0;
};

}  // namespace tarvelo
