#include "conversion.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <thread>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "fd_io.h"
#include "options.h"
#include "platform.h"
#include "run_report.h"
#include "test_fault_hooks.h"
#include "worker_messages.h"

namespace tarvelo::cli {
namespace {

constexpr int kStandardOutput = 1;

extern "C" int WriteToStandardOutput(void* context, const void* data, size_t size) {
  if (WriteFully(kStandardOutput, data, size)) {
    return 1;
  }
  if (errno == EPIPE) {
    // Nothing is left half done: the image goes to the pipe alone, no file is
    // being written.
    EndAtBrokenPipe();
  }
  *static_cast<int*>(context) = errno != 0 ? errno : EIO;
  return 0;
}

// Runs the library on one job: a file or the bytes read from standard input
// (`source_bytes`, when SOURCE is '-') into a file or onto standard output (DEST
// '-'), with the library's helper threads. `before_change`: TarveloOptions'. The
// library's status and detail.
std::pair<TarveloStatus, std::string> ConvertJob(const ConversionJob& job, const std::string* source_bytes,
                                                 void (*before_change)(void*) = nullptr,
                                                 void* context = nullptr) {
  TarveloOptions options;
  TarveloInitOptions(&options);
  options.before_change = before_change;
  options.before_change_context = context;
  options.allow_threads = 1;
  options.max_decoded_pixels = job.max_pixels;
  TarveloSource source{};  // only the fields of its kind are read, as of the output
  source.kind = source_bytes != nullptr ? TARVELO_SOURCE_MEMORY : TARVELO_SOURCE_FILE;
  source.path = job.source.c_str();
  source.data = source_bytes != nullptr ? source_bytes->data() : nullptr;
  source.size = source_bytes != nullptr ? source_bytes->size() : 0;
  int output_error = 0;  // errno of a failed write to standard output
  TarveloOutput to{};
  to.kind = job.destination == kStdio ? TARVELO_OUTPUT_FUNC : TARVELO_OUTPUT_FILE;
  to.path = job.destination.c_str();
  to.write = WriteToStandardOutput;
  to.context = &output_error;
  TarveloResult result;
  const TarveloStatus status = TarveloConvertImage(&source, &to, job.layout, &options, &result);
  // The library only knows that the callback refused; the reason is ours.
  return {status, status == TARVELO_STATUS_WRITE_FAILED && output_error != 0 ? std::strerror(output_error)
                                                                             : result.detail};
}

// Who ends a conversion in the tool's own process, its time limit or the
// conversion's end, is decided once.
enum TimeLimit : int { kArmed, kEnded, kStruck };

// Ends the time limit (`limit`, a std::atomic<int>): called when only the file
// system's work is left (TarveloOptions.before_change), which the limit must not
// cut short. Should the limit strike at that moment, its line and exit win and
// this never returns, so the destination is left as it was.
void EndTimeLimit(void* limit) {
  int armed = kArmed;
  if (!static_cast<std::atomic<int>*>(limit)->compare_exchange_strong(armed, kEnded) && armed == kStruck) {
    for (;;) {
      std::this_thread::sleep_for(std::chrono::hours(1));  // the watchdog is ending the process
    }
  }
}

}  // namespace

ConversionOutcome ConvertInProcess(const ConversionJob& job, std::chrono::seconds time_limit) {
  std::optional<std::string> source_bytes;
  if (job.source == kStdio) {
    source_bytes = ReadAll(0);
    if (!source_bytes) {
      return FailedSource(job, std::string("cannot read standard input: ") +
                                   (errno == EFBIG ? kTooLargeInput : std::strerror(errno)));
    }
  }
  const std::string shown_source = DisplayedPath(job.source, true);
  std::string crash_prefix = FailureLine(shown_source, "decoder crashed (");
  crash_prefix.pop_back();  // the guard ends the line after the cause
  ArmCrashGuard(crash_prefix);
  // The time limit on a thread of its own, which waits for the conversion's end.
  std::atomic<int> limit{time_limit.count() != 0 ? kArmed : kEnded};
  std::promise<void> finished;
  std::thread watchdog;
  if (time_limit.count() != 0) {
    const std::string line =
        FailureLine(shown_source, "timed out after " + std::to_string(time_limit.count()) + " s");
    watchdog = std::thread([&limit, line, ended = finished.get_future(), time_limit] {
      int armed = kArmed;
      if (ended.wait_for(time_limit) == std::future_status::timeout &&
          limit.compare_exchange_strong(armed, kStruck)) {
        EndWithLine(line);
      }
    });
  }
  (void)InjectTestFault(job.source);
  const auto [status, detail] =
      ConvertJob(job, source_bytes ? &*source_bytes : nullptr, EndTimeLimit, &limit);
  EndTimeLimit(&limit);
  finished.set_value();
  if (watchdog.joinable()) {
    watchdog.join();
  }
  return OutcomeOfStatus(job, status, detail);
}

void RunWorker() {
  std::string received;
  std::deque<ConversionJob> queue;         // requests not yet converted, next first
  [[maybe_unused]] std::size_t files = 0;  // converted so far
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
    // A worker decodes one file after another, each into fresh buffers of about the
    // same sizes. By default the C library hands freed memory back to the system
    // and takes it again for the next file, which then pays a page fault and a page
    // clearing for every 4 KiB it touches. Keeping up to kKeptFreeMemory freed for
    // the next file instead makes that cost once per worker, not once per file; the
    // peak is unchanged, as the same amount was in use a moment before. From the
    // second file on (a worker that converts a single file keeps the default),
    // allocations below that size come from the heap, whose freed top is kept.
#if defined(__GLIBC__)
    constexpr int kKeptFreeMemory = 32 * 1024 * 1024;
    if (++files == 2) {
      (void)mallopt(M_MMAP_THRESHOLD, kKeptFreeMemory);
      (void)mallopt(M_TRIM_THRESHOLD, kKeptFreeMemory);
    }
#endif
    const auto [status, detail] = InjectTestFault(job.source)
                                      ? std::pair(TARVELO_STATUS_CONVERTED, std::string())
                                      : ConvertJob(job, nullptr);
    if (!WriteToTool(ReplyMessage(status, detail))) {
      std::_Exit(0);
    }
  }
}

}  // namespace tarvelo::cli
