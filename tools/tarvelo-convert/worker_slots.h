#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "worker_protocol.h"

namespace tarvelo::cli {

// The platform layer under the batch scheduler (worker_pool.h): a fixed row of
// slots, each holding at most one worker process that is kept for run after run of
// files, and the things the scheduler does with them. Everything that differs
// between systems (how a worker starts, how a run reaches it, how the tool waits on
// several at once, how a dead worker's end is told) stays in the two
// implementations:
//   worker_slots_posix.cpp    a fork of the tool per slot: runs and run-done frames
//                             on a socket pair, the reply board in shared memory;
//   worker_slots_windows.cpp  the tool started with CreateProcessW in its worker
//                             mode: runs on its standard input, the reply board in
//                             a shared file mapping, run done as an event.
// Both post replies on a reply board (reply_board.h), so the tool learns a run's
// outcome in one wake-up and, after a crash or a time limit, which file it was.
//
// Not thread-safe: one scheduler on one thread owns the row.
class WorkerSlots {
 public:
  using Clock = std::chrono::steady_clock;

  // How a worker process ended: `crashed` when a fault ended it (a signal, an
  // exception no handler caught), `how` in words: "signal 11", "exit status 3",
  // "exception 0xC0000005".
  struct WorkerEnd {
    bool crashed = false;
    std::string how;
  };

  struct SendResult {
    enum class Kind {
      kSent,         // the worker has the run; its end is awaited
      kCannotStart,  // no worker could be started (`reason`); the slot stays empty
      kLost,         // the slot's worker was gone before it took the run (`end`); it
                     // has been reaped and the slot is empty
    };
    Kind kind = Kind::kSent;
    std::string reason;
    WorkerEnd end;
  };

  struct Collected {
    enum class Kind {
      kNothingYet,  // the run goes on
      kRunDone,     // the worker says the run is over; the slot keeps its worker
      kMalformed,   // the worker said something else; it has been ended and reaped
      kLost,        // the worker ended before the run was (`end`); reaped
    };
    Kind kind = Kind::kNothingYet;
    // The replies on the board, in run order: every file's for kRunDone (fewer
    // only when the run was asked to stop), those completed before the end
    // otherwise. A reply that could not be read ends the list.
    std::vector<ConversionReply> replies;
    WorkerEnd end;
  };

  // At most the platform's limit of slots (the number of processes one wait can
  // watch); at least one.
  explicit WorkerSlots(std::size_t count);
  WorkerSlots(const WorkerSlots&) = delete;
  WorkerSlots& operator=(const WorkerSlots&) = delete;
  // Ends and reaps every worker: idle ones are told there is no more work, busy
  // ones are killed. None outlives the row.
  ~WorkerSlots();

  [[nodiscard]] std::size_t size() const;

  // Hands `run` (1 to kMaxRunFiles files) to the worker in `slot`, starting one
  // first when the slot has none. The slot must not be busy with a run.
  SendResult Send(std::size_t slot, const std::vector<ConversionRequest>& run);

  // Waits until a busy slot has something to collect, an interrupt arrives
  // (interrupt.h), or `until` passes. Returns the slots to collect from.
  std::vector<std::size_t> WaitForAny(Clock::time_point until);

  // Takes what the worker in `slot` has said since the last call.
  Collected Collect(std::size_t slot);

  // How many files of its run the busy worker in `slot` has replied for, as its
  // board says, never more than the run holds (RepliesPosted in reply_board.h).
  [[nodiscard]] std::size_t RepliesPosted(std::size_t slot) const;

  // Asks the busy worker in `slot` to end its run after its current file.
  void StopAfterCurrentFile(std::size_t slot);

  // Kills the worker in `slot` and reaps it; the slot is empty afterwards. Returns
  // the replies it had posted for its run.
  std::vector<ConversionReply> Kill(std::size_t slot);

 private:
  struct Platform;  // defined by each implementation
  std::unique_ptr<Platform> platform_;
};

}  // namespace tarvelo::cli
