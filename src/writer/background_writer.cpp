#include "background_writer.h"

#include <cerrno>
#include <system_error>

namespace tarvelo {

BackgroundWriter::BackgroundWriter(std::FILE* stream) noexcept : stream_(stream) {
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    // No thread: started() is false and the caller writes on its own thread.
  }
}

BackgroundWriter::~BackgroundWriter() {
  if (!thread_.joinable()) {
    return;
  }
  Wait();
  state_.store(kStopping, std::memory_order_release);
  state_.notify_all();
  thread_.join();
}

int BackgroundWriter::Write(const uint8_t* data, size_t size) noexcept {
  Wait();
  block_ = data;
  size_ = size;
  state_.store(kBlockPending, std::memory_order_release);
  state_.notify_all();
  return error_number_.load(std::memory_order_relaxed);
}

int BackgroundWriter::Wait() noexcept {
  state_.wait(kBlockPending, std::memory_order_acquire);  // returns once the state is another
  return error_number_.load(std::memory_order_relaxed);
}

void BackgroundWriter::Run() noexcept {
  for (;;) {
    state_.wait(kIdle, std::memory_order_acquire);
    const uint32_t state = state_.load(std::memory_order_acquire);
    if (state == kStopping) {
      return;
    }
    if (state != kBlockPending) {
      continue;
    }
    // After a failure the rest is discarded: the file is abandoned anyway.
    if (error_number_.load(std::memory_order_relaxed) == 0) {
      errno = 0;
      if (std::fwrite(block_, 1, size_, stream_) != size_) {
        error_number_.store(errno != 0 ? errno : EIO, std::memory_order_relaxed);
      }
    }
    state_.store(kIdle, std::memory_order_release);
    state_.notify_all();
  }
}

}  // namespace tarvelo
