// Conversions of valid and hostile sources on several threads at once: the guard
// and the decoder's own state (its thread-local failure text) are per call, so every
// thread gets its own image or its own refusal. Runs under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "TarveloConvert.h"
#include "file_bytes.h"
#include "source_builders.h"
#include "temp_dir.h"

namespace tarvelo::test {
namespace {

TEST(GuardConcurrency, ThreadsGetTheirOwnResultsAndReasons) {
  TempDir dir;
  struct Job {
    std::string source;
    std::string reason;  // empty for a valid source
  };
  std::vector<Job> jobs;
  const auto valid = ValidSources();
  for (size_t i = 0; i < valid.size(); i += 9) {
    jobs.push_back({dir.File(valid[i].name), ""});
    WriteFileBytes(jobs.back().source, valid[i].bytes);
  }
  for (const HostileSource& hostile : HostileSources()) {
    jobs.push_back({dir.File(hostile.name), hostile.reason});
    WriteFileBytes(jobs.back().source, hostile.bytes);
  }
  constexpr int kThreads = 4;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = static_cast<size_t>(t); i < jobs.size() * 2; i += kThreads) {
        const Job& job = jobs[i % jobs.size()];
        const std::string destination = dir.File("out-" + std::to_string(t) + ".tga");
        char detail[256];
        const TarveloStatus status = TarveloConvert(job.source.c_str(), destination.c_str(),
                                                    TARVELO_LAYOUT_TGA, detail, sizeof detail);
        const bool expected = job.reason.empty()
                                  ? status == TARVELO_STATUS_CONVERTED
                                  : status == TARVELO_STATUS_SOURCE_UNREADABLE && job.reason == detail;
        if (!expected) {
          failures.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace tarvelo::test
