#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "conversion_job.h"
#include "worker_slots.h"

namespace tarvelo::cli {

// Converts files in worker processes, so that a decoder that crashes or hangs on
// one file costs only that file.
//
// Hands the files out to a row of worker slots (worker_slots.h) in runs: several
// small files go in one request, so that a batch of small files costs one wake-up
// per run rather than two context switches per file; a large file goes alone, and
// runs shorten as the batch nears its end, so every worker stays busy to the end.
// Waits on the busy slots with the nearest deadline as timeout and records each
// file's outcome. A worker that dies fails the file it was converting with
// "decoder crashed (signal N)" (Windows: "exception 0x..."); one still busy at a
// file's deadline (the time limit counts per file) is killed and fails that file
// with "timed out after N s". Either way the files of the run it had finished
// count, the rest of its run goes back to be handed out again, and a fresh worker
// takes its slot.
//
// An interrupt (interrupt.h) ends the batch early: no file is handed out any more,
// the workers end their runs after their current file, and the files being
// converted get `interrupt_grace` to finish, as a worker killed while it puts its
// output in place could leave a temporary file behind instead. Those that finish
// are recorded as usual; the rest are killed, and the files not completed are left
// to the caller.
//
// Not thread-safe; meant for a single-threaded tool (it forks). On POSIX systems it
// ignores SIGPIPE for the process, so a worker that vanishes makes writes fail
// rather than kill the tool.
class WorkerPool {
 public:
  WorkerPool(std::size_t worker_count, std::chrono::seconds time_limit, std::chrono::seconds interrupt_grace);

  using Completion = std::function<void(std::size_t job_index, const ConversionOutcome& outcome)>;
  // Converts every job and calls `on_complete` once per job, in the order they
  // finish, on the calling thread.
  void Run(const std::vector<ConversionJob>& jobs, const Completion& on_complete);

 private:
  using Clock = WorkerSlots::Clock;
  using FileRun = std::vector<std::size_t>;  // job indexes, in the order converted

  // The next run from the pending jobs (at least one job; pending not empty).
  FileRun TakeRun(const std::vector<ConversionJob>& jobs);
  // Records the replies of `run`'s first files; returns how many there were.
  static std::size_t FinishReplied(const FileRun& run, const std::vector<ConversionReply>& replies,
                                   const std::vector<ConversionJob>& jobs, const Completion& finish);
  // After a worker ended in the middle of `run`: the file it was on fails with
  // `reason`, the files after it go back to be handed out again.
  void FailAndRequeue(const FileRun& run, std::size_t failed, const std::string& reason,
                      const std::vector<ConversionJob>& jobs, const Completion& finish);

  // Hands out pending jobs to the idle slots. False when a worker could not be
  // started.
  bool Dispatch(const std::vector<ConversionJob>& jobs, const Completion& finish);
  // Waits until `until` at the latest, then records what the workers said and
  // ends those past their deadline.
  void WaitAndCollect(Clock::time_point until, const std::vector<ConversionJob>& jobs,
                      const Completion& finish);
  // After an interrupt: waits out the grace for the busy workers, then kills them.
  void LetBusyFilesFinish(const std::vector<ConversionJob>& jobs, const Completion& finish);
  [[nodiscard]] bool AnyBusy() const;
  // When the file the worker in `slot` is converting runs out of time, on the
  // tool's own clock: the limit counts from when the run was handed out or from when
  // the tool saw the worker's previous reply, whichever is later. Nothing the worker
  // writes moves it back.
  Clock::time_point Deadline(std::size_t slot);
  Clock::time_point NearestDeadline();

  WorkerSlots slots_;
  std::vector<std::optional<FileRun>> busy_;  // per slot: the run it converts
  struct FileClock {
    Clock::time_point since;   // the current file's time counts from here
    std::size_t replies_seen;  // replies of the run seen when `since` was set
  };
  std::vector<FileClock> clocks_;     // per slot, for its run
  std::vector<std::size_t> pending_;  // job indexes not handed out, next last
  std::chrono::seconds time_limit_;
  std::chrono::seconds interrupt_grace_;
  std::string start_error_;  // why the last worker start failed
};

}  // namespace tarvelo::cli
