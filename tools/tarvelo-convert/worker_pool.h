#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "conversion_job.h"
#include "platform.h"

namespace tarvelo::cli {

// Converts files in worker processes (platform.h), so that a decoder that crashes
// or hangs on one file costs only that file.
//
// Each worker is started once and then handed one file at a time; the next goes to
// whichever worker replies first. The tool keeps the clock itself: a file's time
// counts from when it was handed out, and nothing the worker says moves it. A
// worker that dies fails the file it was converting with "decoder crashed (signal
// N)" (Windows: "exception 0x..."), one that exits or closes its channel with
// "worker process ended unexpectedly (...)", one still busy at the file's deadline
// is killed and fails it with "timed out after N s"; a fresh worker takes its place.
// A file counts as converted only when the worker says so and its output is in
// place.
//
// An interrupt (platform.h) ends the batch early: no file is handed out any more,
// and the files being converted get `interrupt_grace` to finish, as a worker killed
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
    std::optional<std::size_t> job;  // the file being converted
    Clock::time_point deadline;
    std::string received;  // reply bytes so far
  };

  // Hands pending jobs to the idle slots. False when a worker could not be started.
  bool Dispatch();
  // Waits until `until` at the latest, then records what the workers said and
  // ends those past their deadline.
  void WaitAndCollect(Clock::time_point until);
  void Collect(Slot* slot);
  // Kills the slot's worker and fails its file with `reason`.
  void Fail(Slot* slot, const std::string& reason);
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
};

}  // namespace tarvelo::cli
