#include "worker_process.h"

#include <cstdlib>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "TarveloConvert.h"
#include "stdio_conversion.h"
#include "test_fault_hooks.h"
#include "worker_protocol.h"

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

void RunWorker(const WorkerChannels& channels) {
  ReplyBoard* board = channels.board;
  std::vector<ConversionRequest> run;
  std::size_t files = 0;
  while (ReceiveRun(channels.requests, &run)) {
    uint32_t posted = 0;
    for (const ConversionRequest& request : run) {
      if (board->stop_after_current.load(std::memory_order_acquire) != 0) {
        break;
      }
      if (++files == 2) {
        KeepMemoryForTheNextFile();  // a second file: this worker serves a batch
      }
      char detail[1024] = "";
      ConversionReply reply;
      reply.status =
          InjectTestFault(request.source)
              ? TARVELO_STATUS_CONVERTED
              : ConvertJob({request.source, request.destination, request.layout, request.max_pixels}, nullptr,
                           detail, sizeof detail);
      reply.detail = detail;
      if (!PostReply(board, reply)) {
        break;
      }
      ++posted;
    }
    if (!channels.run_done(posted)) {
      break;
    }
  }
  // A forked copy of the tool: its stdio buffers and exit handlers belong to the tool.
  std::_Exit(0);
}

}  // namespace tarvelo::cli
