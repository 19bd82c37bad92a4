#include "byte_sink.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace tarvelo {

ByteSink::ByteSink(std::FILE* stream) noexcept
    : stream_(stream), buffer_(new (std::nothrow) uint8_t[kCapacity]) {}

uint8_t* ByteSink::Reserve(size_t bytes) noexcept {
  if (kCapacity - used_ < bytes) {
    Flush();
  }
  return buffer_.get() + used_;
}

void ByteSink::Put(uint8_t byte) noexcept {
  uint8_t* out = Reserve(1);
  *out = byte;
  Commit(out + 1);
}

void ByteSink::PutZeros(size_t count) noexcept {
  while (count > 0) {
    const size_t chunk = count < kCapacity ? count : kCapacity;
    uint8_t* out = Reserve(chunk);
    std::memset(out, 0, chunk);
    Commit(out + chunk);
    count -= chunk;
  }
}

bool ByteSink::Flush() noexcept {
  if (used_ > 0 && error_number_ == 0) {
    errno = 0;
    if (std::fwrite(buffer_.get(), 1, used_, stream_) != used_) {
      error_number_ = errno != 0 ? errno : EIO;
    }
  }
  // After a failure the rest of the image is discarded: the file is abandoned.
  used_ = 0;
  return error_number_ == 0;
}

}  // namespace tarvelo
