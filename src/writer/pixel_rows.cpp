#include "writer/pixel_rows.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#if !defined(TARVELO_NO_HELPER_THREADS)
#include <system_error>
#endif

#include "writer/pixel_blocks_neon.h"
#include "writer/pixel_blocks_sse2.h"

namespace tarvelo {
namespace {

// x / 255 for 0 <= x <= 255 * 255 without a division, in 16-bit arithmetic so
// that the compiler can process many pixels per vector instruction. Exact over the
// whole range (checked below at compile time).
constexpr uint16_t Div255(uint16_t x) {
  return static_cast<uint16_t>(static_cast<uint16_t>(x + 1U + (x >> 8U)) >> 8U);
}

// The vector routines divide by 255 with a multiply-high instead, (x * 0x8081) >> 23,
// exact for every 16-bit x; this division is exact over its range, up to 255 * 255.
consteval bool DivisionsBy255AreExact() {
  for (uint32_t x = 0; x <= 0xFFFFU; ++x) {
    if (((x * 0x8081U) >> 23U) != x / 255U ||
        (x <= 255U * 255U && Div255(static_cast<uint16_t>(x)) != x / 255U)) {
      return false;
    }
  }
  return true;
}
static_assert(DivisionsBy255AreExact());

// The flattening below (and in the vector routines) handles background channels of 0 or 255 alone.
static_assert((kBackgroundRed == 0 || kBackgroundRed == 255) &&
              (kBackgroundGreen == 0 || kBackgroundGreen == 255) &&
              (kBackgroundBlue == 0 || kBackgroundBlue == 255));

// Writes `count` pixels; returns the new output position. Each pixel is packed
// into one 32-bit word and stored whole: a 3-byte pixel's store overlaps the next
// pixel's first byte. Vector routines store 16 bytes at a time. The caller leaves
// kStoreSlack bytes of room after the run for both.
using PixelRoutine = uint8_t* (*)(const uint8_t* src, uint8_t* dst, size_t count) noexcept;

inline constexpr size_t kStoreSlack = std::max({sse2::kBlockStoreSlack, neon::kBlockStoreSlack, size_t{1}});

inline void StoreWord(uint8_t* dst, uint32_t word) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(dst, &word, sizeof word);
  } else {
    dst[0] = static_cast<uint8_t>(word);
    dst[1] = static_cast<uint8_t>(word >> 8U);
    dst[2] = static_cast<uint8_t>(word >> 16U);
    dst[3] = static_cast<uint8_t>(word >> 24U);
  }
}

// The three colour bytes of a pixel in output order (blue first), lowest byte first.
template <int Channels, bool KeepAlpha>
inline uint32_t PackColour(const uint8_t* src) {
  if constexpr (Channels <= 2) {
    return uint32_t{src[0]} * 0x010101U;
  } else if constexpr (Channels == 4 && !KeepAlpha) {
    // bg + ((d - bg) * alpha) / 255 truncated toward zero: for bg = 255 that is
    // 255 - ((255 - d) * alpha) / 255, and 255 - v is v ^ 255 for a byte.
    const auto flatten = [alpha = src[3]](uint32_t d, uint32_t bg) {
      return Div255(static_cast<uint16_t>((d ^ bg) * alpha)) ^ bg;
    };
    return flatten(src[2], kBackgroundBlue) | (flatten(src[1], kBackgroundGreen) << 8U) |
           (flatten(src[0], kBackgroundRed) << 16U);
  } else {
    return uint32_t{src[2]} | (uint32_t{src[1]} << 8U) | (uint32_t{src[0]} << 16U);
  }
}

// The processor's vector routines, where this build has them. Both sets offer the
// same functions with the same results.
#if defined(TARVELO_PIXEL_BLOCKS_SSE2)
namespace vector_blocks = sse2;
#elif defined(TARVELO_PIXEL_BLOCKS_NEON)
namespace vector_blocks = neon;
#endif

// Converts the leading whole blocks of a run with the vector routine for the
// layout's common cases; returns how many pixels it converted (0 where none fits).
template <int Channels, bool KeepAlpha>
size_t EmitPixelBlocks([[maybe_unused]] const uint8_t* src, [[maybe_unused]] uint8_t* dst,
                       [[maybe_unused]] size_t count) noexcept {
#if defined(TARVELO_PIXEL_BLOCKS_SSE2) || defined(TARVELO_PIXEL_BLOCKS_NEON)
  if constexpr (Channels == 2 || (Channels == 1 && !KeepAlpha)) {
    return vector_blocks::RepeatGrey<Channels, KeepAlpha>(src, dst, count);
  } else if constexpr (Channels == 3 && !KeepAlpha) {
    return vector_blocks::ReverseColour3(src, dst, count);
  } else if constexpr (Channels == 4 && KeepAlpha) {
    return vector_blocks::ReverseColour4KeepAlpha(src, dst, count);
  } else if constexpr (Channels == 4) {
    return vector_blocks::Flatten4<kBackgroundRed, kBackgroundGreen, kBackgroundBlue>(src, dst, count);
  }
#endif
  return 0;
}

template <int Channels, bool KeepAlpha>
uint8_t* EmitPixels(const uint8_t* src, uint8_t* dst, size_t count) noexcept {
  constexpr size_t kOutBytes = KeepAlpha ? 4 : 3;
  const size_t blocks = EmitPixelBlocks<Channels, KeepAlpha>(src, dst, count);
  src += blocks * Channels;
  dst += blocks * kOutBytes;
  for (size_t i = blocks; i < count; ++i, src += Channels, dst += kOutBytes) {
    const uint32_t colour = PackColour<Channels, KeepAlpha>(src);
    // Without alpha the fourth byte is overwritten by the next pixel or is slack.
    StoreWord(dst, KeepAlpha ? colour | (uint32_t{src[Channels - 1]} << 24U) : colour);
  }
  return dst;
}

constexpr PixelRoutine kRoutines[4][2] = {{&EmitPixels<1, false>, &EmitPixels<1, true>},
                                          {&EmitPixels<2, false>, &EmitPixels<2, true>},
                                          {&EmitPixels<3, false>, &EmitPixels<3, true>},
                                          {&EmitPixels<4, false>, &EmitPixels<4, true>}};

bool Writable(const DecodedImage& image) {
  return image.channels >= 1 && image.channels <= 4 && image.width >= 0 && image.height > 0;
}

size_t OutPixelBytes(const PixelStreamParams& params) { return params.keep_alpha ? 4 : 3; }

}  // namespace

uint64_t PixelRowsSize(const PixelStreamParams& params, const DecodedImage& image) noexcept {
  if (!Writable(image)) {
    return 0;
  }
  const uint64_t row =
      static_cast<uint64_t>(image.width) * OutPixelBytes(params) + static_cast<uint64_t>(params.row_pad);
  return row * static_cast<uint64_t>(image.height);
}

void EmitPixelRows(ByteSink& sink, const PixelStreamParams& params, const DecodedImage& image) noexcept {
  if (!Writable(image)) {
    return;
  }
  const PixelRoutine routine = kRoutines[image.channels - 1][params.keep_alpha ? 1 : 0];
  const size_t out_pixel_bytes = OutPixelBytes(params);
  const auto row_pad = static_cast<size_t>(params.row_pad);
  const auto width = static_cast<size_t>(image.width);
  const auto channels = static_cast<size_t>(image.channels);
  const size_t row_bytes = image.row_stride != 0 ? image.row_stride : width * channels;
  for (auto row = static_cast<size_t>(image.height); row-- > 0;) {
    const uint8_t* src = image.pixels + row * row_bytes;
    size_t remaining = width;
    while (remaining > 0) {
      uint8_t* dst = sink.Reserve(out_pixel_bytes + kStoreSlack);
      size_t count = (sink.available() - kStoreSlack) / out_pixel_bytes;
      count = count < remaining ? count : remaining;
      dst = routine(src, dst, count);
      sink.Commit(dst);
      src += count * channels;
      remaining -= count;
    }
    sink.PutZeros(row_pad);
    if (sink.failed()) {
      return;  // the file is abandoned; the rest of the image would be wasted work
    }
  }
}

ByteSink::ByteSink(ByteOutput& output, [[maybe_unused]] Mode mode) noexcept : output_(&output) {
#if !defined(TARVELO_NO_HELPER_THREADS)
  if (mode == Mode::kOverlapped) {
    buffers_ = static_cast<uint8_t*>(std::malloc(kOverlappedBuffers * kCapacity));
    try {
      writer_ = buffers_ != nullptr ? std::thread(&ByteSink::WriterLoop, this) : std::thread();
    } catch (const std::system_error&) {
      // no thread to spare: write from this one, through the first buffer
    }
  }
#endif
  buffers_ = buffers_ != nullptr ? buffers_ : static_cast<uint8_t*>(std::malloc(kCapacity));
  current_ = buffers_;
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

void ByteSink::WriteBlock(const uint8_t* data, size_t size) noexcept {
  // After a failure the rest of the image is discarded: the file is abandoned.
  if (size == 0 || failed()) {
    return;
  }
  const int error = output_->Write(data, size);
  if (error != 0) {
    int expected = 0;
    (void)error_number_.compare_exchange_strong(expected, error);
  }
}

void ByteSink::HandOver() noexcept {
  if (!overlapped()) {
    WriteBlock(current_, used_);
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
    lock.unlock();
    WriteBlock(buffers_ + slot * kCapacity, sizes_[slot]);
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
