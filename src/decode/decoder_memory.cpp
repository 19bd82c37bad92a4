#include "decode/decoder_memory.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "platform/file_system.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#define TARVELO_PREFAULT 1
#endif
#if defined(TARVELO_PREFAULT) && !defined(TARVELO_NO_HELPER_THREADS)
#include <new>
#include <system_error>
#include <thread>
#define TARVELO_PREFAULT_HELPER 1
#endif

namespace tarvelo {
namespace {

struct Prefault;

// In front of every block, at malloc's address. Its size keeps the block at the
// alignment malloc guarantees, which the decoder relies on. It asks for no more
// alignment than that: 32-bit Windows' malloc gives 8 bytes, and a header aligned
// beyond what malloc gives would be misaligned there.
struct alignas(kDecoderBlockAlignment) BlockHeader {
  size_t size;
  Prefault* prefault;  // null: no helper
  size_t scope;        // the serial of the scope that counts the block; 0: none
};
static_assert(sizeof(BlockHeader) % kDecoderBlockAlignment == 0);
static_assert(alignof(BlockHeader) <= kDecoderBlockAlignment);

BlockHeader* HeaderOf(void* block) noexcept { return static_cast<BlockHeader*>(block) - 1; }
void* BlockOf(BlockHeader* header) noexcept { return header + 1; }

#if defined(TARVELO_PREFAULT_HELPER)
// The permission of ScopedDecoderThreads: per thread, so that it needs no lock and
// one caller's choice never reaches another's conversion.
thread_local bool t_threads_allowed = false;

struct Prefault {
  std::atomic<bool> stop{false};
  std::thread helper;
};
#endif

#if defined(TARVELO_PREFAULT)

// The helper works in steps so that freeing the block stops it soon: a decoder
// that gives up early on a corrupt file must not wait for, or pay for, pages it
// never needed.
constexpr size_t kPrefaultStep = size_t{2} << 20;

// Kernels before 5.14 do not know MADV_POPULATE_WRITE; after the first refusal no
// more blocks are mapped ahead.
std::atomic<bool> g_populate_refused{false};

void Populate(uint8_t* begin, uint8_t* end, const std::atomic<bool>* stop) noexcept {
  for (uint8_t* at = begin; at < end && !stop->load(std::memory_order_relaxed); at += kPrefaultStep) {
    const size_t length = std::min(static_cast<size_t>(end - at), kPrefaultStep);
    if (madvise(at, length, MADV_POPULATE_WRITE) != 0) {
      if (errno == EINVAL) {
        g_populate_refused.store(true, std::memory_order_relaxed);
      }
      return;  // whatever the reason, the decoder's own faults still work
    }
  }
}

void StartPrefault(BlockHeader* header) noexcept {
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  if (page == 0 || (page & (page - 1)) != 0 || g_populate_refused.load(std::memory_order_relaxed)) {
    return;
  }
  // Only the whole pages inside the block: the partial ones at its ends are shared
  // with other heap memory, which must not be touched.
  auto* begin = static_cast<uint8_t*>(BlockOf(header));
  const uintptr_t first = reinterpret_cast<uintptr_t>(begin);
  const auto lead = static_cast<size_t>((page - first % page) % page);
  const auto tail = static_cast<size_t>((first + header->size) % page);
  if (lead + tail >= header->size) {
    return;
  }
  uint8_t* end = begin + header->size - tail;
  begin += lead;
  if (header->size < kPrefaultFrom) {
    // Not worth a thread, but one call that maps every page costs less than a fault
    // for each.
    const std::atomic<bool> never{false};
    Populate(begin, end, &never);
    return;
  }
  // Without a helper that stops when the block is freed, a large block stays plain:
  // a decoder that gives up early on a corrupt file must not pay for (or hold)
  // pages it never needed.
#if defined(TARVELO_PREFAULT_HELPER)
  auto* prefault = t_threads_allowed ? new (std::nothrow) Prefault : nullptr;
  if (prefault == nullptr) {
    return;
  }
  try {
    prefault->helper = std::thread(Populate, begin, end, &prefault->stop);
  } catch (const std::system_error&) {
    delete prefault;  // no thread to spare: the decoder faults its pages in itself
    return;
  }
  header->prefault = prefault;
#endif
}

#else
void StartPrefault(BlockHeader* /*header*/) noexcept {}
#endif

void StopPrefault([[maybe_unused]] BlockHeader* header) noexcept {
#if defined(TARVELO_PREFAULT_HELPER)
  if (header->prefault != nullptr) {
    header->prefault->stop.store(true, std::memory_order_relaxed);
    header->prefault->helper.join();
    delete header->prefault;
    header->prefault = nullptr;
  }
#endif
}

}  // namespace

// The calling thread's decode accounting (see DecoderMemoryScope): per thread, so
// that it takes no lock and conversions on other threads neither see nor change it.
// A build without helper threads has no thread-local storage either: its account
// is the process's, and a scope holds it until it ends (see DecoderMemoryScope).
// Each scope has a serial that the blocks it counts carry, so that a block freed
// or grown later, by whichever thread, changes no other scope's count.
struct DecoderMemoryAccount {
  static inline std::atomic<size_t> g_last_serial{0};
#if defined(TARVELO_NO_HELPER_THREADS)
  static inline DecoderMemoryScope::State g_account;
  static inline std::atomic_flag g_account_held;
#endif

  static DecoderMemoryScope::State& Current() noexcept {
#if defined(TARVELO_NO_HELPER_THREADS)
    return g_account;
#else
    thread_local DecoderMemoryScope::State state;
    return state;
#endif
  }

  // False when the block may not grow by `more` bytes; records why. Outside a
  // scope (serial 0) nothing is counted.
  static bool Reserve(size_t more) noexcept {
    DecoderMemoryScope::State& state = Current();
    if (state.serial == 0) {
      return true;
    }
    if (more > state.budget || state.held > state.budget - more) {
      state.over_budget = true;
      return false;
    }
    state.held += more;
    state.peak = std::max(state.held, state.peak);
    return true;
  }

  static void Release(size_t less) noexcept {
    DecoderMemoryScope::State& state = Current();
    state.held -= std::min(less, state.held);
  }

  static void Refused() noexcept { Current().out_of_memory = true; }

  // A block made outside any scope carries serial 0, as the account does there,
  // where nothing is counted.
  static bool Counts(const BlockHeader* header) noexcept { return header->scope == Current().serial; }
};

DecoderMemoryScope::DecoderMemoryScope(size_t budget) noexcept {
#if defined(TARVELO_NO_HELPER_THREADS)
  // A waiter pauses rather than spins: a strict-priority scheduler would let a
  // spinning waiter of higher priority keep the holder from ever running.
  while (DecoderMemoryAccount::g_account_held.test_and_set(std::memory_order_acquire)) {
    platform::files.pause();
  }
#endif
  previous_ = DecoderMemoryAccount::Current();
  DecoderMemoryAccount::Current() =
      State{.budget = budget, .serial = DecoderMemoryAccount::g_last_serial.fetch_add(1) + 1};
}

DecoderMemoryScope::~DecoderMemoryScope() {
  DecoderMemoryAccount::Current() = previous_;
#if defined(TARVELO_NO_HELPER_THREADS)
  DecoderMemoryAccount::g_account_held.clear(std::memory_order_release);
#endif
}

bool DecoderMemoryScope::out_of_memory() const noexcept {
  return DecoderMemoryAccount::Current().out_of_memory;
}
bool DecoderMemoryScope::over_budget() const noexcept { return DecoderMemoryAccount::Current().over_budget; }
size_t DecoderMemoryScope::peak() const noexcept { return DecoderMemoryAccount::Current().peak; }

#if defined(TARVELO_PREFAULT_HELPER)
ScopedDecoderThreads::ScopedDecoderThreads(bool allow) noexcept : previous_(t_threads_allowed) {
  t_threads_allowed = allow;
}

ScopedDecoderThreads::~ScopedDecoderThreads() { t_threads_allowed = previous_; }

bool DecoderThreadsAllowed() noexcept { return t_threads_allowed; }
#else
ScopedDecoderThreads::ScopedDecoderThreads(bool /*allow*/) noexcept : previous_(false) {}
ScopedDecoderThreads::~ScopedDecoderThreads() = default;
bool DecoderThreadsAllowed() noexcept { return false; }
#endif

void* AllocateDecoderMemory(size_t size) noexcept { return ResizeDecoderMemory(nullptr, size); }

// A new block (`block` null) counts in the current scope, if any; an old one only
// in the scope that allocated it.
void* ResizeDecoderMemory(void* block, size_t size) noexcept {
  if (size > SIZE_MAX - sizeof(BlockHeader)) {
    DecoderMemoryAccount::Refused();
    return nullptr;
  }
  BlockHeader* header = block != nullptr ? HeaderOf(block) : nullptr;
  const size_t old_size = header != nullptr ? header->size : 0;
  const bool counted = header == nullptr || DecoderMemoryAccount::Counts(header);
  const size_t grown = counted && size > old_size ? size - old_size : 0;
  if (grown != 0 && !DecoderMemoryAccount::Reserve(grown)) {
    return nullptr;  // an old block stays valid
  }
  if (header != nullptr) {
    StopPrefault(header);  // the block may move
  }
  auto* resized = static_cast<BlockHeader*>(std::realloc(header, sizeof(BlockHeader) + size));
  if (resized == nullptr) {
    DecoderMemoryAccount::Release(grown);
    DecoderMemoryAccount::Refused();
    return nullptr;  // an old block stays valid, as realloc's contract says
  }
  if (counted && size < old_size) {
    DecoderMemoryAccount::Release(old_size - size);
  }
  resized->size = size;
  if (header == nullptr) {
    resized->prefault = nullptr;
    resized->scope = DecoderMemoryAccount::Current().serial;
    if (size >= kPopulateFrom) {
      StartPrefault(resized);
    }
  }
  return BlockOf(resized);
}

void FreeDecoderMemory(void* block) noexcept {
  if (block == nullptr) {
    return;
  }
  BlockHeader* header = HeaderOf(block);
  StopPrefault(header);
  if (DecoderMemoryAccount::Counts(header)) {
    DecoderMemoryAccount::Release(header->size);
  }
  std::free(header);
}

}  // namespace tarvelo
