// The frozen exports and the calls with default options start no thread and take
// no lock, even for an image large enough that the library's helpers would pay
// (24 MP). Two independent witnesses: this program interposes pthread_create and
// the pthread lock calls (the library reaches them through the dynamic linker, so
// every call from it lands here first), and a sampler thread started beforehand
// counts the process's threads in /proc/self/task throughout the conversion.
// Allowing threads, the same conversion does start one: the witnesses work.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "TarveloConvert.h"
#include "TarveloImageTGA.h"
#include "api_sources.h"
#include "file_bytes.h"
#include "temp_dir.h"

namespace {

std::atomic<int> g_threads_created{0};
std::atomic<int> g_locks_taken{0};
// Only the converting thread's locks count: the sampler and the test framework
// have their own business.
thread_local bool t_counting_locks = false;

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// Visible to the dynamic linker despite the build's hidden default.
#define TARVELO_INTERPOSE __attribute__((visibility("default")))

extern "C" {

TARVELO_INTERPOSE int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                     void* (*start)(void*), void* argument) {
  static const auto real =
      Next<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>("pthread_create");
  g_threads_created.fetch_add(1);
  return real(thread, attributes, start, argument);
}

TARVELO_INTERPOSE int pthread_mutex_lock(pthread_mutex_t* mutex) {
  static const auto real = Next<int (*)(pthread_mutex_t*)>("pthread_mutex_lock");
  if (t_counting_locks) {
    g_locks_taken.fetch_add(1);
  }
  return real(mutex);
}

TARVELO_INTERPOSE int pthread_cond_wait(pthread_cond_t* condition, pthread_mutex_t* mutex) {
  static const auto real = Next<int (*)(pthread_cond_t*, pthread_mutex_t*)>("pthread_cond_wait");
  if (t_counting_locks) {
    g_locks_taken.fetch_add(1);
  }
  return real(condition, mutex);
}

}  // extern "C"

namespace tarvelo::test {
namespace {

int CountTasks() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) {
    return -1;
  }
  int count = 0;
  while (const dirent* entry = readdir(tasks)) {
    count += entry->d_name[0] != '.' ? 1 : 0;
  }
  closedir(tasks);
  return count;
}

// Runs `convert` while a sampler (started first) records the most threads seen.
struct Witness {
  int created = 0;
  int locks = 0;
  int tasks_before = 0;
  int most_tasks = 0;
};

template <typename Convert>
Witness Watch(Convert convert) {
  std::atomic<bool> done{false};
  std::atomic<int> most{0};
  std::thread sampler([&] {
    while (!done.load()) {
      const int now = CountTasks();
      int seen = most.load();
      while (now > seen && !most.compare_exchange_weak(seen, now)) {
      }
      // Leave the cores to the conversion; the interposer sees every thread anyway.
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  while (most.load() == 0) {
    std::this_thread::yield();  // the sampler is running and counted
  }
  Witness witness;
  witness.tasks_before = CountTasks();
  const int created_before = g_threads_created.load();
  g_locks_taken.store(0);
  t_counting_locks = true;
  convert();
  t_counting_locks = false;
  witness.created = g_threads_created.load() - created_before;
  witness.locks = g_locks_taken.load();
  done.store(true);
  sampler.join();
  witness.most_tasks = most.load();
  return witness;
}

std::wstring Widen(const std::string& path) { return {path.begin(), path.end()}; }

class NoThreads : public testing::Test {
 protected:
  void SetUp() override {
    // 24 MP of 24-bit BMP, made by the library itself.
    constexpr int kWidth = 6000;
    constexpr int kHeight = 4000;
    std::vector<uint8_t> pixels(size_t{kWidth} * kHeight * 3);
    for (size_t i = 0; i < pixels.size(); ++i) {
      pixels[i] = static_cast<uint8_t>(i * 7 + i / 4099);
    }
    TarveloSource source{};
    source.kind = TARVELO_SOURCE_PIXELS;
    source.data = pixels.data();
    source.width = kWidth;
    source.height = kHeight;
    source.channels = 3;
    TarveloOutput output{};
    output.kind = TARVELO_OUTPUT_FILE;
    output.path = source_.c_str();
    ASSERT_EQ(TARVELO_STATUS_CONVERTED,
              TarveloConvertImage(&source, &output, TARVELO_LAYOUT_BMP, nullptr, nullptr));
  }

  TempDir dir_;
  const std::string source_ = dir_.File("big.bmp");
  const std::string destination_ = dir_.File("big.tga");
};

TEST_F(NoThreads, ExportsStartNoThreadAndTakeNoLock) {
  const std::wstring source = Widen(source_);
  const std::wstring destination = Widen(destination_);
  const Witness witness = Watch([&] {
    EXPECT_EQ(999, BMP2TGA(source.c_str(), destination.c_str()));
    EXPECT_EQ(999, TGA2BMP(destination.c_str(), Widen(dir_.File("back.bmp")).c_str()));
  });
  EXPECT_EQ(0, witness.created);
  EXPECT_EQ(0, witness.locks);
  EXPECT_EQ(witness.tasks_before, witness.most_tasks);
  EXPECT_EQ(ReadFileBytes(source_), ReadFileBytes(dir_.File("back.bmp")));
}

TEST_F(NoThreads, DefaultOptionsStartNoThreadAndTakeNoLock) {
  const Bytes source = ReadFileBytes(source_);
  const Witness witness = Watch([&] {
    EXPECT_EQ(TARVELO_STATUS_CONVERTED,
              TarveloConvert(source_.c_str(), destination_.c_str(), TARVELO_LAYOUT_TGA, nullptr, 0));
    const TarveloSource memory = MemorySource(source.data(), source.size());
    TarveloOutput buffer{};
    buffer.kind = TARVELO_OUTPUT_BUFFER;
    EXPECT_EQ(TARVELO_STATUS_CONVERTED,
              TarveloConvertImage(&memory, &buffer, TARVELO_LAYOUT_BMP, nullptr, nullptr));
    TarveloFree(buffer.buffer);
  });
  EXPECT_EQ(0, witness.created);
  EXPECT_EQ(0, witness.locks);
  EXPECT_EQ(witness.tasks_before, witness.most_tasks);
}

// The control: with threads allowed the writer's helper appears, and both
// witnesses see it.
TEST_F(NoThreads, AllowingThreadsStartsThem) {
  TarveloOptions options;
  TarveloInitOptions(&options);
  options.allow_threads = 1;
  const Witness witness = Watch([&] {
    TarveloSource source{};
    source.kind = TARVELO_SOURCE_FILE;
    source.path = source_.c_str();
    TarveloOutput output{};
    output.kind = TARVELO_OUTPUT_FILE;
    output.path = destination_.c_str();
    EXPECT_EQ(TARVELO_STATUS_CONVERTED,
              TarveloConvertImage(&source, &output, TARVELO_LAYOUT_TGA, &options, nullptr));
  });
  EXPECT_GE(witness.created, 1);
  EXPECT_GT(witness.locks, 0);
}

}  // namespace
}  // namespace tarvelo::test
