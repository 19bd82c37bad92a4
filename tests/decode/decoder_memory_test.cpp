// The decoder's allocator: blocks behave as malloc's do (alignment, contents kept
// through a resize), and on Linux a large block is made resident by its helper
// thread without a byte of it being changed, while a block freed at once costs no
// more than the pages its helper had reached.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "decode/stb_decoder.h"
#include "platform/file_system.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tarvelo {
namespace {

uint8_t PatternAt(size_t index) { return static_cast<uint8_t>((index * 2654435761U) >> 13U); }

void FillPattern(uint8_t* block, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    block[i] = PatternAt(i);
  }
}

size_t FirstMismatch(const uint8_t* block, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (block[i] != PatternAt(i)) {
      return i;
    }
  }
  return size;
}

TEST(DecoderMemory, BlocksAreAlignedAndKeepTheirContentsThroughResizes) {
  // Small and helper-sized blocks, grown and shrunk across the helper's threshold.
  const std::vector<std::pair<size_t, size_t>> resizes = {
      {1, 4096}, {100, 7}, {kPrefaultFrom - 1, kPrefaultFrom + 12345}, {kPrefaultFrom * 2, 1000}};
  for (const auto& [first, second] : resizes) {
    SCOPED_TRACE(std::to_string(first) + " -> " + std::to_string(second));
    auto* block = static_cast<uint8_t*>(AllocateDecoderMemory(first));
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(0U, reinterpret_cast<uintptr_t>(block) % kDecoderBlockAlignment);
    FillPattern(block, first);
    auto* resized = static_cast<uint8_t*>(ResizeDecoderMemory(block, second));
    ASSERT_NE(nullptr, resized);
    EXPECT_EQ(0U, reinterpret_cast<uintptr_t>(resized) % kDecoderBlockAlignment);
    const size_t kept = first < second ? first : second;
    EXPECT_EQ(kept, FirstMismatch(resized, kept));
    FreeDecoderMemory(resized);
  }
  FreeDecoderMemory(nullptr);
  void* from_nothing = ResizeDecoderMemory(nullptr, 64);
  EXPECT_NE(nullptr, from_nothing);
  FreeDecoderMemory(from_nothing);
  EXPECT_EQ(nullptr, AllocateDecoderMemory(SIZE_MAX - 8));
}

#if defined(__linux__)

// The decoder writes into a block while its helper maps the block's pages: the
// helper must never change what the decoder wrote, wherever the two meet.
TEST(DecoderMemory, HelperNeverChangesWhatTheDecoderWrites) {
  const ScopedDecoderThreads threads(true);
  const size_t size = kPrefaultFrom * 3 + 777;
  for (int round = 0; round < 3; ++round) {
    auto* block = static_cast<uint8_t*>(AllocateDecoderMemory(size));
    ASSERT_NE(nullptr, block);
    FillPattern(block, size);  // races with the helper from the first byte on
    EXPECT_EQ(size, FirstMismatch(block, size)) << "round " << round;
    FreeDecoderMemory(block);
  }
}

// Whether the kernel maps pages on request. An emulator (qemu-user) accepts the
// request and maps nothing; that is told apart by looking at the probe's pages.
enum class Populate { kDone, kRefused, kIgnored };

Populate KernelPopulatesOnRequest() {
  const size_t length = 4096 * 4;
  void* probe = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (probe == MAP_FAILED) {
    return Populate::kRefused;
  }
  Populate answer = Populate::kRefused;
  if (madvise(probe, length, MADV_POPULATE_WRITE) == 0) {
    std::vector<unsigned char> residency(length / 4096);
    answer = mincore(probe, length, residency.data()) == 0 && (residency[0] & 1U) != 0 ? Populate::kDone
                                                                                       : Populate::kIgnored;
  }
  munmap(probe, length);
  return answer;
}

// How many of the whole pages inside a block are resident.
std::pair<size_t, size_t> ResidentPages(const uint8_t* block, size_t size) {
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + page - 1) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(page - 1);
  std::vector<unsigned char> residency((end - begin) / page);
  if (mincore(reinterpret_cast<void*>(begin), end - begin, residency.data()) != 0) {
    return {0, residency.size()};
  }
  size_t resident = 0;
  for (const unsigned char flags : residency) {
    resident += flags & 1U;
  }
  return {resident, residency.size()};
}

// Pages become resident without being written to: a large block's soon, through
// its helper thread; a middle-sized one's before the allocation returns.
TEST(DecoderMemory, BlocksBecomeResidentWithoutBeingWritten) {
  const Populate populate = KernelPopulatesOnRequest();
  if (populate != Populate::kDone) {
    // Without mapping on request the blocks are plain heap memory that the
    // decoder's own writes map: check that much, all of it intact.
    const size_t size = kPrefaultFrom * 2;
    auto* block = static_cast<uint8_t*>(AllocateDecoderMemory(size));
    ASSERT_NE(nullptr, block);
    FillPattern(block, size);
    const auto [resident, pages] = ResidentPages(block, size);
    EXPECT_EQ(size, FirstMismatch(block, size));
    FreeDecoderMemory(block);
    EXPECT_EQ(pages, resident);
    GTEST_SKIP() << (populate == Populate::kIgnored
                         ? "the kernel accepts MADV_POPULATE_WRITE but maps nothing (an emulator such as "
                           "qemu-user): only the plain fallback was checked"
                         : "this kernel does not populate on request (MADV_POPULATE_WRITE, Linux 5.14)");
  }
  const ScopedDecoderThreads threads(true);
  const size_t middle = kPopulateFrom * 3 + 5;
  auto* small = static_cast<uint8_t*>(AllocateDecoderMemory(middle));
  ASSERT_NE(nullptr, small);
  const auto [small_resident, small_pages] = ResidentPages(small, middle);
  FreeDecoderMemory(small);
  EXPECT_EQ(small_pages, small_resident);
#if defined(TARVELO_NO_HELPER_THREADS)
  GTEST_SKIP() << "a build without helper threads maps no large block ahead";
#endif

  const size_t size = kPrefaultFrom * 4;
  auto* block = static_cast<uint8_t*>(AllocateDecoderMemory(size));
  ASSERT_NE(nullptr, block);
  std::pair<size_t, size_t> residency{0, 1};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    residency = ResidentPages(block, size);
    if (residency.first == residency.second) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  FreeDecoderMemory(block);
  EXPECT_EQ(residency.second, residency.first);
}

// A decoder that gives up at once on a corrupt file frees its block at once; the
// helper must stop there rather than make the whole block resident, and without
// the helper the block must stay plain. Run in a child process, whose peak
// resident size starts small.
void ExpectFreedHugeBlocksStayUnmapped(bool allow_threads) {
  constexpr size_t kHuge = size_t{1} << 30;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const ScopedDecoderThreads threads(allow_threads);
    for (int round = 0; round < 4; ++round) {
      void* block = AllocateDecoderMemory(kHuge);
      if (block == nullptr) {
        _exit(2);
      }
      FreeDecoderMemory(block);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    // ru_maxrss is in KiB; a block made resident whole would pass 1 GiB.
    _exit(usage.ru_maxrss < 512 * 1024 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) {
    GTEST_SKIP() << "no room for a 1 GiB block here";
  }
  EXPECT_EQ(0, WEXITSTATUS(status)) << "the freed blocks were made resident anyway";
}

TEST(DecoderMemory, FreeingStopsTheHelper) { ExpectFreedHugeBlocksStayUnmapped(true); }

TEST(DecoderMemory, LargeBlocksStayPlainWithoutPermission) { ExpectFreedHugeBlocksStayUnmapped(false); }

#if !defined(TARVELO_NO_HELPER_THREADS)
// The permission belongs to the thread that set it, and ends with its scope.
TEST(DecoderMemory, PermissionIsPerThreadAndScoped) {
  EXPECT_FALSE(DecoderThreadsAllowed());
  {
    const ScopedDecoderThreads outer(true);
    EXPECT_TRUE(DecoderThreadsAllowed());
    bool other_thread_sees = true;
    std::thread([&] { other_thread_sees = DecoderThreadsAllowed(); }).join();
    EXPECT_FALSE(other_thread_sees);
    {
      const ScopedDecoderThreads inner(false);
      EXPECT_FALSE(DecoderThreadsAllowed());
    }
    EXPECT_TRUE(DecoderThreadsAllowed());
  }
  EXPECT_FALSE(DecoderThreadsAllowed());
}
#endif

#endif  // __linux__

// A scope's budget bounds the bytes held at once: growing past it fails as a
// refused allocation does (the old block intact) and is recorded as over budget,
// not as out of memory; freeing and shrinking give bytes back; the peak is kept.
TEST(DecoderMemoryScope, BudgetBoundsTheBytesHeldAtOnce) {
  const DecoderMemoryScope scope(1000);
  auto* first = static_cast<uint8_t*>(AllocateDecoderMemory(600));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(AllocateDecoderMemory(401), nullptr);
  EXPECT_TRUE(scope.over_budget());
  EXPECT_FALSE(scope.out_of_memory());
  FillPattern(first, 600);
  EXPECT_EQ(ResizeDecoderMemory(first, 1001), nullptr);
  EXPECT_EQ(FirstMismatch(first, 600), 600U);
  first = static_cast<uint8_t*>(ResizeDecoderMemory(first, 1000));
  ASSERT_NE(first, nullptr);
  first = static_cast<uint8_t*>(ResizeDecoderMemory(first, 100));
  ASSERT_NE(first, nullptr);
  void* second = AllocateDecoderMemory(900);
  EXPECT_NE(second, nullptr);
  EXPECT_EQ(scope.peak(), 1000U);
  FreeDecoderMemory(second);
  FreeDecoderMemory(first);
  void* whole = AllocateDecoderMemory(1000);
  EXPECT_NE(whole, nullptr);
  FreeDecoderMemory(whole);
}

// A refusal by the system is out of memory, whatever the caller does next.
TEST(DecoderMemoryScope, RefusedAllocationIsOutOfMemory) {
  const DecoderMemoryScope scope(SIZE_MAX);
  EXPECT_EQ(AllocateDecoderMemory(SIZE_MAX - 8), nullptr);
  EXPECT_TRUE(scope.out_of_memory());
  EXPECT_FALSE(scope.over_budget());
}

// Outside any scope nothing is counted or refused, and a block from outside freed
// inside takes nothing from the count. Where scopes nest, each counts alone.
TEST(DecoderMemoryScope, ScopesNestAndBlocksFromOutsideDoNotCount) {
  void* outside = AllocateDecoderMemory(5000);
  ASSERT_NE(outside, nullptr);
  const DecoderMemoryScope outer(10000);
  void* held = AllocateDecoderMemory(4000);
#if defined(TARVELO_NO_HELPER_THREADS)
  FreeDecoderMemory(outside);
#else
  {
    const DecoderMemoryScope inner(100);
    EXPECT_EQ(AllocateDecoderMemory(200), nullptr);
    EXPECT_TRUE(inner.over_budget());
    FreeDecoderMemory(outside);
    EXPECT_EQ(inner.peak(), 0U);
  }
#endif
  EXPECT_FALSE(outer.over_budget());
  void* more = AllocateDecoderMemory(6000);
  EXPECT_NE(more, nullptr);
  EXPECT_EQ(AllocateDecoderMemory(1), nullptr);
  EXPECT_EQ(outer.peak(), 10000U);
  FreeDecoderMemory(more);
  FreeDecoderMemory(held);
}

// A block counts only in the scope that allocated it: the decoded image, freed
// after its conversion ended, takes nothing from the next conversion's count.
TEST(DecoderMemoryScope, ABlockFreedAfterItsScopeTakesNothingFromTheNext) {
  void* earlier = nullptr;
  {
    const DecoderMemoryScope first(10000);
    earlier = AllocateDecoderMemory(5000);
    ASSERT_NE(earlier, nullptr);
  }
  const DecoderMemoryScope second(10000);
  void* held = AllocateDecoderMemory(6000);
  ASSERT_NE(held, nullptr);
  FreeDecoderMemory(earlier);
  earlier = ResizeDecoderMemory(AllocateDecoderMemory(1), 4000);
  ASSERT_NE(earlier, nullptr);
  EXPECT_EQ(AllocateDecoderMemory(1), nullptr);  // 6000 + 4000 still held
  EXPECT_EQ(second.peak(), 10000U);
  FreeDecoderMemory(earlier);
  FreeDecoderMemory(held);
}

#if defined(TARVELO_NO_HELPER_THREADS)
std::atomic<int> g_pauses{0};

// Without thread-local storage the account is the process's: a second thread's
// scope waits until the first one ends, so neither counts the other's blocks. It
// waits by pausing, never by spinning, which under a strict-priority scheduler
// would keep a holder of lower priority from running.
TEST(DecoderMemoryScope, ScopesOnTwoThreadsTakeTurns) {
  const auto pause = platform::files.pause;
  platform::files.pause = [] {
    ++g_pauses;
    std::this_thread::yield();
  };
  std::atomic<bool> started{false};
  std::atomic<bool> entered{false};
  std::thread other;
  {
    const DecoderMemoryScope scope(1000);
    void* mine = AllocateDecoderMemory(800);
    other = std::thread([&] {
      started = true;
      const DecoderMemoryScope theirs(100);
      entered = true;
      EXPECT_EQ(theirs.peak(), 0U);
      EXPECT_FALSE(theirs.over_budget());
    });
    while (!started) {
      std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered);
    EXPECT_EQ(scope.peak(), 800U);
    FreeDecoderMemory(mine);
  }
  other.join();
  platform::files.pause = pause;
  EXPECT_TRUE(entered);
  EXPECT_GT(g_pauses.load(), 0);
}
#endif

}  // namespace
}  // namespace tarvelo
