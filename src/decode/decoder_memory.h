#pragma once

#include <cstddef>

namespace tarvelo {

// The decoder's allocator (its malloc, realloc and free). Blocks are ordinary heap
// memory with a small header in front.
//
// A fresh block writes its pages for the first time as the decoder fills it, and
// the kernel then stops the decoder on every 4 KiB page to find, clear and map one:
// about a quarter of the decode time of a fast format (for 96 MB, 23 ms of 70 ms
// on a 32-bit TGA). On Linux a new block of at least kPrefaultFrom bytes therefore
// gets a helper thread that asks the kernel to map all of its pages writable
// (MADV_POPULATE_WRITE) while the decoder runs on another core; the helper stays
// ahead of the decoder, which then finds its pages in place. Nothing is written
// into the block and it holds no more pages than the decoder writes into anyway.
// Freeing or growing the block stops the helper first. Grown blocks (the
// decoder's growing buffers, whose tail may stay unused) get no helper. Blocks
// from kPopulateFrom up to kPrefaultFrom are mapped in the same way before they
// are returned, without a thread.
//
// Elsewhere, and where the kernel or a thread limit refuses, blocks are plain.
// Blocks are aligned to kDecoderBlockAlignment: the least of what malloc
// guarantees on every platform built for (8 bytes on 32-bit systems, 16 on
// 64-bit ones), enough for every scalar type the decoder stores.
inline constexpr size_t kDecoderBlockAlignment = 2 * sizeof(void*);

void* AllocateDecoderMemory(size_t size) noexcept;
void* ResizeDecoderMemory(void* block, size_t size) noexcept;
void FreeDecoderMemory(void* block) noexcept;

// Starting the helper and waking the other core cost more than a small block's
// page faults: measured on a 2-core virtual machine, the helper made a 4-6 MB
// block slower to decode into, a 24 MB one 2.5 ms faster and a 96 MB one 18 ms.
// Smaller blocks from kPopulateFrom on are mapped at once by the allocating
// thread itself, in one call, which costs less than a fault per page.
inline constexpr size_t kPrefaultFrom = size_t{16} << 20;
inline constexpr size_t kPopulateFrom = size_t{1} << 20;

}  // namespace tarvelo
