#include "writer/byte_sink.h"

#include <cstdlib>
#include <cstring>
#if !defined(TARVELO_NO_HELPER_THREADS)
#include <system_error>
#endif

namespace tarvelo {

ByteSink::ByteSink(ByteOutput& output, [[maybe_unused]] Mode mode) noexcept : output_(&output) {
#if defined(TARVELO_NO_HELPER_THREADS)
  const size_t count = 1;
#else
  const size_t count = mode == Mode::kOverlapped ? kOverlappedBuffers : 1;
#endif
  buffers_ = static_cast<uint8_t*>(std::malloc(count * kCapacity));
  current_ = buffers_;
#if !defined(TARVELO_NO_HELPER_THREADS)
  if (buffers_ != nullptr && count > 1) {
    try {
      writer_ = std::thread(&ByteSink::WriterLoop, this);
    } catch (const std::system_error&) {
      // no thread to spare: write from this one, through the first buffer
    }
  }
#endif
}

ByteSink::~ByteSink() {
#if !defined(TARVELO_NO_HELPER_THREADS)
  if (overlapped()) {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
      handed_changed_.notify_one();
    }
    writer_.join();
  }
#endif
  std::free(buffers_);
}

uint8_t* ByteSink::Reserve(size_t bytes) noexcept {
  if (kCapacity - used_ < bytes) {
    HandOver();
  }
  return current_ + used_;
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

void ByteSink::WriteBlock(const Block& block) noexcept {
  // After a failure the rest of the image is discarded: the file is abandoned.
  if (block.size == 0 || failed()) {
    return;
  }
  const int error = output_->Write(block.data, block.size);
  if (error != 0) {
    int expected = 0;
    (void)error_number_.compare_exchange_strong(expected, error);
  }
}

void ByteSink::HandOver() noexcept {
  if (!overlapped()) {
    WriteBlock({current_, used_});
    used_ = 0;
    return;
  }
#if !defined(TARVELO_NO_HELPER_THREADS)
  if (used_ == 0) {
    return;
  }
  std::unique_lock lock(mutex_);
  sizes_[handed_ % kOverlappedBuffers] = used_;
  ++handed_;
  handed_changed_.notify_one();
  // The next buffer in turn is free once fewer blocks than there are buffers are in flight.
  written_changed_.wait(lock, [this] { return handed_ - written_ < kOverlappedBuffers; });
  current_ = buffers_ + (handed_ % kOverlappedBuffers) * kCapacity;
  used_ = 0;
#endif
}

#if !defined(TARVELO_NO_HELPER_THREADS)
void ByteSink::WriterLoop() noexcept {
  std::unique_lock lock(mutex_);
  for (;;) {
    handed_changed_.wait(lock, [this] { return handed_ > written_ || stopping_; });
    if (handed_ == written_) {
      return;  // stopping, and everything handed over has been written
    }
    const size_t slot = written_ % kOverlappedBuffers;
    const Block block{buffers_ + slot * kCapacity, sizes_[slot]};
    lock.unlock();
    WriteBlock(block);
    lock.lock();
    ++written_;
    written_changed_.notify_one();
  }
}

#endif

bool ByteSink::Flush() noexcept {
  HandOver();
#if !defined(TARVELO_NO_HELPER_THREADS)
  if (overlapped()) {
    std::unique_lock lock(mutex_);
    written_changed_.wait(lock, [this] { return written_ == handed_; });
  }
#endif
  return !failed();
}

}  // namespace tarvelo
