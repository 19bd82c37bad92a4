#include "worker_process.h"

#include <cstdlib>
#include <deque>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "platform.h"
#include "stdio_conversion.h"
#include "test_fault_hooks.h"
#include "worker_messages.h"

namespace tarvelo::cli {
namespace {

// A worker decodes one file after another, each into fresh buffers of about the
// same sizes. By default the C library hands freed memory back to the system and
// takes it again for the next file, which then pays a page fault and a page
// clearing for every 4 KiB it touches. Keeping up to this much freed memory for
// the next file instead makes that cost once per worker, not once per file; the
// peak is unchanged, as the same amount was in use a moment before. A worker
// that converts a single file keeps the C library's default behaviour.
void KeepMemoryForTheNextFile() {
#if defined(__GLIBC__)
  constexpr int kKeptFreeMemory = 32 * 1024 * 1024;
  // Allocations below the limit come from the heap, whose freed top is kept.
  (void)mallopt(M_MMAP_THRESHOLD, kKeptFreeMemory);
  (void)mallopt(M_TRIM_THRESHOLD, kKeptFreeMemory);
#endif
}

}  // namespace

void RunWorker() {
  std::string received;
  std::deque<ConversionJob> queue;  // requests not yet converted, next first
  std::size_t files = 0;
  for (;;) {
    // Whatever the tool has sent, waiting only when there is nothing to convert: a
    // stop that came behind the next request still stops it.
    char buffer[4096];
    const std::size_t got = ReadFromTool(buffer, sizeof buffer, queue.empty());
    if (got == 0 && queue.empty()) {
      // A forked copy of the tool: its stdio buffers and exit handlers are the tool's.
      std::_Exit(0);
    }
    received.append(buffer, got);
    ConversionJob job;
    for (Taken taken; (taken = TakeRequest(&received, &job)) != Taken::kIncomplete;) {
      if (taken == Taken::kMalformed) {
        std::_Exit(2);
      }
      if (taken == Taken::kStop) {
        for (; !queue.empty(); queue.pop_front()) {
          if (!WriteToTool(kSkippedReply)) {
            std::_Exit(0);
          }
        }
      } else {
        queue.push_back(std::move(job));
      }
    }
    if (queue.empty()) {
      continue;
    }
    job = std::move(queue.front());
    queue.pop_front();
    if (++files == 2) {
      KeepMemoryForTheNextFile();  // a second file: this worker serves a batch
    }
    char detail[1024] = "";
    const TarveloStatus status = InjectTestFault(job.source)
                                     ? TARVELO_STATUS_CONVERTED
                                     : ConvertJob(job, nullptr, detail, sizeof detail);
    if (!WriteToTool(ReplyMessage(status, detail))) {
      std::_Exit(0);
    }
  }
}

}  // namespace tarvelo::cli
