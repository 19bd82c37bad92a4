#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <thread>

namespace tarvelo {

// Writes blocks to a stream on a thread of its own, one block at a time, so that
// the caller fills its next block while the kernel copies the previous one into
// the file: on a large image the two take about as long as each other, and the
// file is written in about the time of the slower.
//
// The hand-over uses an atomic word with wait and notify (no locks that could
// throw). One owner thread calls Write and Wait; the stream must not be used by
// anyone else until Wait has returned.
class BackgroundWriter {
 public:
  explicit BackgroundWriter(std::FILE* stream) noexcept;
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;
  // Waits for the block in flight and ends the thread.
  ~BackgroundWriter();

  // False when no thread could be started; the caller then writes itself.
  [[nodiscard]] bool started() const noexcept { return thread_.joinable(); }

  // Waits until the previous block is written, then starts writing this one. The
  // bytes must stay untouched until the next Write or Wait returns. Returns the
  // errno of the first failed write so far, 0 when none failed.
  int Write(const uint8_t* data, size_t size) noexcept;

  // Waits until the block in flight is written; returns as Write.
  int Wait() noexcept;

 private:
  enum State : uint32_t { kIdle, kBlockPending, kStopping };

  void Run() noexcept;

  std::FILE* stream_;
  const uint8_t* block_ = nullptr;  // published by the release store of state_
  size_t size_ = 0;
  std::atomic<uint32_t> state_{kIdle};
  std::atomic<int> error_number_{0};
  std::thread thread_;
};

}  // namespace tarvelo
