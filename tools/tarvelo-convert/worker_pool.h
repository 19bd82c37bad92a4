#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "conversion_job.h"
#include "platform.h"

namespace tarvelo::cli {

// Converts files in worker processes (platform.h), so that a decoder that crashes
// or hangs on one file costs only that file.
//
// Each worker is started once and then holds the file it converts and, while many
// are left, up to 15 more, so that it never waits for the tool between files and
// the tool takes its replies a few at a time; replies bring it more.
// The tool keeps the clock itself: a file's time counts from when the tool saw the
// worker's previous reply, or from when it handed the file out to an idle worker,
// so a worker can stretch nothing beyond one time limit per file. A worker that
// dies fails the file it was converting with "decoder crashed (signal
// N)" (Windows: "exception 0x..."), one that exits or closes its channel with
// "worker process ended unexpectedly (...)", one still busy at the file's deadline
// is killed and fails it with "timed out after N s"; a fresh worker takes its place,
// and the file it held next goes back to be handed out again.
// A file counts as converted only when the worker says so and its output is in
// place.
//
// An interrupt (platform.h) ends the batch early: no file is handed out any more,
// the workers are told to skip the files they have not started, and the files
// being converted get `interrupt_grace` to finish, as a worker killed
// while it puts its output in place could leave a temporary file behind instead.
// Those that finish are recorded as usual; the rest are killed, and the files not
// completed are left to the caller.
//
// Not thread-safe; meant for a single-threaded tool.
class WorkerPool {
 public:
  WorkerPool(std::size_t worker_count, std::chrono::seconds time_limit, std::chrono::seconds interrupt_grace);
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  // Ends every worker: idle ones see their channel close and exit, busy ones are
  // killed.
  ~WorkerPool();

  using Completion = std::function<void(std::size_t job_index, const ConversionOutcome& outcome)>;
  // Converts every job and calls `on_complete` once per job, in the order they
  // finish, on the calling thread.
  void Run(const std::vector<ConversionJob>& jobs, const Completion& on_complete);

 private:
  struct Slot {
    Worker* worker = nullptr;
    std::deque<std::size_t> jobs;  // handed out, not replied to: the one converted first
    Clock::time_point deadline;    // of the first
    std::string received;          // reply bytes so far
  };

  // Hands pending jobs to the idle slots. False when a worker could not be started.
  bool Dispatch();
  // Waits until `until` at the latest, then records what the workers said and
  // ends those past their deadline.
  void WaitAndCollect(Clock::time_point until);
  void Collect(Slot* slot);
  // Ends the slot's worker and fails the file it was converting with `reason`, the
  // file it held next going back to be handed out again. Empty `reason`: the worker
  // has ended by itself, and how is the reason; otherwise it is killed, and
  // `with_end` adds how it ended to the reason.
  void Fail(Slot* slot, const std::string& reason, bool with_end = false);
  // After an interrupt: waits out the grace for the busy workers, then kills them.
  void LetBusyFilesFinish();
  [[nodiscard]] bool AnyBusy() const;
  [[nodiscard]] Clock::time_point NearestDeadline() const;

  std::vector<Slot> slots_;
  std::vector<std::size_t> pending_;  // job indexes not handed out, next last
  const std::vector<ConversionJob>* jobs_ = nullptr;
  Completion finish_;
  std::chrono::seconds time_limit_;
  std::chrono::seconds interrupt_grace_;
  std::string start_error_;  // why the last worker start failed
  bool stopping_ = false;    // the workers were told to stop
};

}  // namespace tarvelo::cli
