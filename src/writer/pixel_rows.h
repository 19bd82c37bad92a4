#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#if !defined(TARVELO_NO_HELPER_THREADS)
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

#include "writer/outputs.h"

namespace tarvelo {

// Stages output bytes in small fixed buffers and hands them to the output (a file,
// callback, a buffer) in large blocks. Memory use is constant whatever the image size, and the
// pixel routines fill the buffers with plain stores instead of one library call per byte.
//
// In overlapped mode a second thread writes each full buffer to the output while
// the pixel routines fill the next one, so that the kernel's copy into the file and
// the pixel work run side by side on two cores instead of one after the other.
// Either way the output receives the same bytes in the same order. Direct mode
// starts no thread and takes no lock; a build without helper threads
// (TARVELO_NO_HELPER_THREADS) has direct mode alone.
class ByteSink {
 public:
  // Each hand-over is one write to the file, and every write costs the file system
  // a fixed amount (locking, timestamps, journal) besides the copy, so blocks are
  // large; but the buffers' memory counts against the conversion's peak (the
  // decoded image plus as little as possible). This size keeps the three buffers
  // small while costing little against larger blocks, which gain nothing beyond a
  // point (bench/RESULTS.md).
  static constexpr size_t kCapacity = size_t{192} * 1024;

  // Buffers in overlapped mode: one being filled, one being written and one queued,
  // so that the writing thread finds the next block ready without waiting for the
  // filling thread to wake up: with two, every block waits for a wake-up; a fourth
  // gains nothing (bench/RESULTS.md).
  static constexpr size_t kOverlappedBuffers = 3;

  enum class Mode { kDirect, kOverlapped };

  // kOverlapped falls back to kDirect when no thread or buffers can be had. The output
  // must outlive the sink.
  explicit ByteSink(ByteOutput& output, Mode mode = Mode::kDirect) noexcept;
  ~ByteSink();

  // False when the staging buffer could not be allocated.
  [[nodiscard]] bool ready() const noexcept { return buffers_ != nullptr; }
#if defined(TARVELO_NO_HELPER_THREADS)
  [[nodiscard]] static bool overlapped() noexcept { return false; }
#else
  [[nodiscard]] bool overlapped() const noexcept { return writer_.joinable(); }
#endif

  // Room for at least `bytes` (<= kCapacity) more bytes, handing the full buffer
  // over first if needed. Returns the write position; the caller advances it with
  // Commit.
  uint8_t* Reserve(size_t bytes) noexcept;
  void Commit(const uint8_t* end) noexcept { used_ = static_cast<size_t>(end - current_); }
  [[nodiscard]] size_t available() const noexcept { return kCapacity - used_; }

  void PutZeros(size_t count) noexcept;

  // Hands everything staged to the output and waits until it has been taken.
  // False once any write failed; the error of the first failure is kept (see
  // ByteOutput::Write). After a failure nothing more reaches the output.
  bool Flush() noexcept;
  [[nodiscard]] bool failed() const noexcept { return error_number() != 0; }
  [[nodiscard]] int error_number() const noexcept { return error_number_.load(std::memory_order_relaxed); }

 private:
  void HandOver() noexcept;
  void WriteBlock(const uint8_t* data, size_t size) noexcept;

  ByteOutput* output_;
  uint8_t* buffers_ = nullptr;  // from malloc
  uint8_t* current_ = nullptr;
  size_t used_ = 0;
  std::atomic<int> error_number_{0};

#if !defined(TARVELO_NO_HELPER_THREADS)
  void WriterLoop() noexcept;

  // Overlapped mode: the buffers are filled and written in turn, block n in buffer
  // n % kOverlappedBuffers; the counts, guarded by `mutex_`, say which are in flight.
  std::mutex mutex_;
  std::condition_variable handed_changed_;
  std::condition_variable written_changed_;
  size_t sizes_[kOverlappedBuffers] = {};
  size_t handed_ = 0;   // blocks handed to the writing thread
  size_t written_ = 0;  // of them, written
  bool stopping_ = false;
  std::thread writer_;
#endif
};

// A decoded image as the decoder delivers it: 8 bits per channel, channels
// interleaved per pixel (1 grey, 2 grey+alpha, 3 RGB, 4 RGBA), top row first. Rows
// are packed without gaps unless `row_stride` says how far apart they start (a
// caller's own pixels). The writer only reads it.
struct DecodedImage {
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;
  const uint8_t* pixels = nullptr;
  size_t row_stride = 0;  // bytes from one row's start to the next; 0: width * channels
};

// How pixels are laid out in the output stream, whose rows go bottom-up (the last
// row first) and whose colour goes blue first (d[2], d[1], d[0]).
struct PixelStreamParams {
  bool keep_alpha = false;  // alpha after the colour; without it RGBA is flattened
  int row_pad = 0;          // zero bytes after every row, 0 to 3
};

// The background that RGBA pixels are flattened against when no alpha is written.
inline constexpr uint8_t kBackgroundRed = 255;
inline constexpr uint8_t kBackgroundGreen = 0;
inline constexpr uint8_t kBackgroundBlue = 255;

// Writes the image's pixel rows. Per pixel: colour[3] [alpha], where grey (1 or 2
// channels) repeats d[0] three times, the alpha byte is the pixel's last channel,
// and a 4-channel pixel without kept alpha is flattened against the background:
// p = bg + ((d - bg) * alpha) / 255, truncating toward zero.
// A height of 0 writes nothing; a width of 0 writes just the pad of every row.
// The pixel routine is chosen once per image, not per pixel; it uses the
// processor's vector blocks where the build has them (SSE2 on x86-64, NEON on ARM;
// none in the TARVELO_PORTABLE_PIXELS build). Channel counts outside 1-4 and
// negative sizes write nothing.
void EmitPixelRows(ByteSink& sink, const PixelStreamParams& params, const DecodedImage& image) noexcept;

// The number of bytes EmitPixelRows writes for this image.
uint64_t PixelRowsSize(const PixelStreamParams& params, const DecodedImage& image) noexcept;

}  // namespace tarvelo
