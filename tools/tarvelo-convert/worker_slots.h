#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "worker_protocol.h"

namespace tarvelo::cli {

// The platform layer under the batch scheduler (worker_pool.h): a fixed row of
// slots, each holding at most one worker process, and the four things the
// scheduler does with them. Everything that differs between systems (how a worker
// starts, how its request and reply travel, how the tool waits on several at once,
// how a dead worker's end is told) stays in the two implementations:
//   worker_slots_posix.cpp    a fork of the tool per slot, on a socket pair, kept
//                             for file after file;
//   worker_slots_windows.cpp  the tool started with CreateProcessW per file, the
//                             request on its standard input and the reply on its
//                             standard output; its exit completes the reply.
// Requests and replies are the frames of worker_protocol.h on both, so a slot that
// keeps its worker for several requests is a matter of the implementation alone.
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
      kSent,         // the worker has the request; its reply is awaited
      kCannotStart,  // no worker could be started (`reason`); the slot stays empty
      kLost,         // the slot's worker was gone before it took the request (`end`);
                     // it has been reaped and the slot is empty
    };
    Kind kind = Kind::kSent;
    std::string reason;
    WorkerEnd end;
  };

  struct Collected {
    enum class Kind {
      kNothingYet,  // part of the reply has arrived, or none
      kReply,       // the whole reply (`reply`); the slot may keep its worker
      kMalformed,   // the worker said something else; it has been ended and reaped
      kLost,        // the worker ended before its reply was whole (`end`); reaped
    };
    Kind kind = Kind::kNothingYet;
    ConversionReply reply;
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

  // Hands `request` to the worker in `slot`, starting one first when the slot has
  // none. The slot must not be awaiting a reply.
  SendResult Send(std::size_t slot, const ConversionRequest& request);

  // Waits until a slot that awaits a reply has something to collect, an interrupt
  // arrives (interrupt.h), or `until` passes. Returns the slots to collect from.
  std::vector<std::size_t> WaitForAny(Clock::time_point until);

  // Takes what the worker in `slot` has sent since the last call.
  Collected Collect(std::size_t slot);

  // Kills the worker in `slot` and reaps it; the slot is empty afterwards.
  void Kill(std::size_t slot);

 private:
  struct Platform;  // defined by each implementation
  std::unique_ptr<Platform> platform_;
};

}  // namespace tarvelo::cli
