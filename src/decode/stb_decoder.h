// The decoder unit: the one translation unit that compiles the decoder, the one door
// to it (everything the guard and the conversion ask of the decoder) and the
// allocator it decodes into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "decode/source_reader.h"

namespace tarvelo {

// The source formats the decoder reads, in the order in which it tries them.
enum class SourceFormat { kUnknown, kPng, kBmp, kGif, kPsd, kPic, kJpeg, kPnm, kHdr, kTga };

// Identifies the format the decoder will use for the source, with the decoder's own
// format tests in the decoder's own order, so the guard judges exactly the format
// that will be decoded. Reads from the source's start. A memory source over
// INT_MAX bytes is kUnknown: the decoder counts its bytes in an int.
SourceFormat IdentifySourceFormat(const SourceBytes& source) noexcept;

// The format's usual name ("JPEG", "PNG", ...); "unknown" for kUnknown. Static.
const char* SourceFormatName(SourceFormat format) noexcept;

// Releases a decoder pixel buffer through the decoder's own free.
struct DecoderBufferDeleter {
  void operator()(unsigned char* pixels) const noexcept;
};
using DecoderBuffer = std::unique_ptr<unsigned char, DecoderBufferDeleter>;

// The decoder's header scan, from the source's start: the size and channel count it
// reports (a top-down BMP's height negative) without decoding the pixels. False when
// the decoder refuses the source (see DecoderFailureReason).
bool ReadDecoderInfo(const SourceBytes& source, int& width, int& height, int& channels) noexcept;

// Decodes the source from its start, 8 bits per channel, keeping its own channel
// count. Null when the decoder fails (see DecoderFailureReason).
DecoderBuffer DecodePixels(const SourceBytes& source, int& width, int& height, int& channels) noexcept;

// The decoder's terse reason for the last failure on this thread (in a build without
// helper threads, in the process: see DecoderMemoryScope) ("outofdata", "bad
// huffman code"); null when it gave none. Static text.
const char* DecoderFailureReason() noexcept;

// A terse reason of the decoder's for a source of `format` put in plain words on one
// line, into `out` (capacity `size` > 0, truncated, always terminated): "file ends early",
// "corrupt JPEG data (bad huffman code)". A null or empty reason gives "the decoder
// could not read the FORMAT data".
void DescribeDecoderFailure(SourceFormat format, const char* terse_reason, char* out, size_t size) noexcept;

// Inflates a zlib stream (or a raw deflate stream when `zlib_header` is false)
// exactly as the decoder does for PNG image data: with its own inflater, into a
// buffer that starts at `expected_size` bytes and grows as the stream needs. Returns
// the buffer (release it with FreeDecoderMemory) and sets `inflated_size`, or returns null
// when the decoder would reject the stream.
uint8_t* InflateLikeDecoder(const uint8_t* data, size_t size, size_t expected_size, bool zlib_header,
                            size_t& inflated_size) noexcept;

// The decoder's allocator (its malloc, realloc and free). Blocks are ordinary heap
// memory with a small header in front.
//
// A fresh block writes its pages for the first time as the decoder fills it, and
// the kernel then stops the decoder on every 4 KiB page to find, clear and map one:
// a large share of the decode time of a fast format such as an uncompressed TGA
// (bench/RESULTS.md). On Linux a new block from
// kPopulateFrom up to kPrefaultFrom bytes is therefore mapped writable in one call
// (MADV_POPULATE_WRITE) before it is returned. Nothing is written into the block
// and it holds no more pages than the decoder writes into anyway.
//
// Where the calling thread has allowed helper threads (ScopedDecoderThreads), a
// block of at least kPrefaultFrom bytes gets a helper thread that maps its pages
// while the decoder runs on another core; the helper stays ahead of the decoder.
// Freeing or growing the block stops the helper first, so a decoder that gives up
// early does not pay for the whole block. Grown blocks (the decoder's growing
// buffers, whose tail may stay unused) get no helper. Without that permission such
// a block stays plain, and the allocator starts no thread and takes no lock: the
// permission is the calling thread's own, so conversions on other threads neither
// see nor wait for it.
//
// Elsewhere, and where the kernel or a thread limit refuses, blocks are plain.
// Blocks are aligned to kDecoderBlockAlignment: the least of what malloc
// guarantees on every platform built for (8 bytes on 32-bit systems, 16 on
// 64-bit ones), enough for every scalar type the decoder stores.
inline constexpr size_t kDecoderBlockAlignment = 2 * sizeof(void*);

void* AllocateDecoderMemory(size_t size) noexcept;

// Allows helper threads for the blocks this thread allocates while it lives (when
// `allow` is true); restores the previous permission when it ends.
class ScopedDecoderThreads {
 public:
  explicit ScopedDecoderThreads(bool allow) noexcept;
  ScopedDecoderThreads(const ScopedDecoderThreads&) = delete;
  ScopedDecoderThreads& operator=(const ScopedDecoderThreads&) = delete;
  ~ScopedDecoderThreads();  // NOLINT(performance-trivially-destructible): not where helpers exist

 private:
  [[maybe_unused]] bool previous_;
};

// Whether this thread currently allows helper threads.
bool DecoderThreadsAllowed() noexcept;
void* ResizeDecoderMemory(void* block, size_t size) noexcept;
void FreeDecoderMemory(void* block) noexcept;

// The accounting of one decode on the calling thread. While a scope lives, the
// thread's decoder blocks count against `budget` bytes held at once: an allocation
// that would pass it fails as one the system refused does (the decoder then gives
// up cleanly), and is recorded as over the budget. A refusal by the system is
// recorded too, so that the caller can report "out of memory" whatever reason the
// decoder left behind. Scopes nest; the inner one counts alone and the outer one
// resumes when it ends. A block counts only in the scope that allocated it: freed
// or grown anywhere else (after its scope ended, in a nested scope) it changes no
// count.
//
// A build without helper threads (TARVELO_NO_HELPER_THREADS) has no thread-local
// storage: there the account, and the decoder's reason for its last failure, are
// the process's. A scope then holds them until it ends, so decodes on several
// threads take turns, the others waiting meanwhile (a moment's pause at a time,
// so that a waiter never keeps the holder from running), and scopes do not
// nest. Every decoder call that allocates then belongs inside a scope: one outside
// it, on another thread, would be counted in the scope that holds the account.
class DecoderMemoryScope {
 public:
  explicit DecoderMemoryScope(size_t budget) noexcept;
  DecoderMemoryScope(const DecoderMemoryScope&) = delete;
  DecoderMemoryScope& operator=(const DecoderMemoryScope&) = delete;
  ~DecoderMemoryScope();

  // The system refused an allocation (not the budget).
  [[nodiscard]] bool out_of_memory() const noexcept;
  // An allocation was refused for passing the budget.
  [[nodiscard]] bool over_budget() const noexcept;
  // The most bytes held at once (block headers excluded).
  [[nodiscard]] size_t peak() const noexcept;

 private:
  struct State {
    size_t budget = SIZE_MAX;
    size_t held = 0;
    size_t peak = 0;
    bool out_of_memory = false;
    bool over_budget = false;
    size_t serial = 0;  // the mark of the blocks this scope counts; 0 outside any scope
  };
  State previous_;
  friend struct DecoderMemoryAccount;
};

// Starting the helper and waking the other core cost more than a small block's
// page faults save: below kPrefaultFrom the helper made decoding slower, above it
// faster (bench/RESULTS.md). Smaller blocks from kPopulateFrom on are mapped at
// once by the allocating thread itself, in one call, which costs less than a fault
// per page.
inline constexpr size_t kPrefaultFrom = size_t{16} << 20;
inline constexpr size_t kPopulateFrom = size_t{1} << 20;

}  // namespace tarvelo
