#include "writer/byte_output.h"

#include <cerrno>
#include <cstring>

namespace tarvelo {

int StreamOutput::Write(const uint8_t* data, size_t size) noexcept {
  errno = 0;
  if (std::fwrite(data, 1, size, stream_) == size) {
    return 0;
  }
  return errno != 0 ? errno : EIO;
}

int CallbackOutput::Write(const uint8_t* data, size_t size) noexcept {
  return function_(context_, data, size) != 0 ? 0 : kOutputRefused;
}

int BufferOutput::Write(const uint8_t* data, size_t size) noexcept {
  if (size > capacity_ - used_) {
    return ENOSPC;
  }
  std::memcpy(buffer_ + used_, data, size);
  used_ += size;
  return 0;
}

bool BufferOutput::Finish(WriteFailure& failure) noexcept {
  if (used_ != capacity_) {
    failure = {WriteFailureKind::kWriteFailed, EIO};
    return false;
  }
  return true;
}

}  // namespace tarvelo
