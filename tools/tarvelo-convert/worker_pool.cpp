#include "worker_pool.h"

#include <algorithm>
#include <climits>
#include <deque>
#include <string>
#include <system_error>
#include <thread>

#include "batch_plan.h"
#include "options.h"
#include "platform.h"
#include "worker_messages.h"

namespace tarvelo::cli {
namespace {

constexpr std::size_t kMaxHeld = 16;
constexpr auto kReplyPause = std::chrono::milliseconds(1);

// The state of one batch, made by RunInWorkers alone (never copied: its end ends
// the workers).
struct WorkerPool {
  struct Slot {
    Worker* worker = nullptr;
    std::deque<std::size_t> jobs;  // handed out, not replied to: the one converted first
    Clock::time_point deadline;    // of the first
    std::string received;          // reply bytes so far
  };

  void Run() {
    while (finished < jobs.size()) {
      if (InterruptSignal() != 0) {
        LetBusyFilesFinish();
        return;
      }
      const bool start_failed = !Dispatch();
      if (AnyBusy()) {
        WaitAndCollect(NearestDeadline());
      } else if (start_failed) {
        // Nothing runs and no worker could be started: the rest cannot be converted.
        for (; !pending.empty(); pending.pop_back()) {
          Finish(pending.back(),
                 FailedSource(jobs[pending.back()], "cannot start a worker process: " + start_error));
        }
      }
    }
  }

  void Finish(std::size_t job_index, const ConversionOutcome& outcome) {
    ++finished;
    report->Record(jobs[job_index], outcome);
  }

  [[nodiscard]] bool AnyBusy() const {
    return std::any_of(slots.begin(), slots.end(), [](const Slot& slot) { return !slot.jobs.empty(); });
  }

  [[nodiscard]] Clock::time_point NearestDeadline() const {
    Clock::time_point nearest = Clock::time_point::max();
    for (const Slot& slot : slots) {
      if (!slot.jobs.empty()) {
        nearest = std::min(nearest, slot.deadline);
      }
    }
    return nearest;
  }

  // Hands pending jobs to the idle slots. False when a worker could not be started.
  bool Dispatch() {
    bool all_started = true;
    std::vector<std::string> requests(slots.size());
    std::vector<std::size_t> held_before(slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
      held_before[i] = slots[i].jobs.size();
      if (slots[i].worker == nullptr && !pending.empty() &&
          (slots[i].worker = StartWorker(&start_error)) == nullptr) {
        all_started = false;  // its files wait for a slot whose worker did start
      }
    }
    // Files go out one per worker in turn, up to kMaxHeld each while at least as many
    // are left as there are workers: a worker then never waits for the tool, and the
    // tool need not wake for every reply; near the end a file waits for no worker
    // busy with another while one is idle.
    for (std::size_t held = 1; held <= kMaxHeld && !pending.empty(); ++held) {
      for (std::size_t i = 0; i < slots.size() && !pending.empty(); ++i) {
        if (slots[i].worker == nullptr || slots[i].jobs.size() >= held ||
            (held > 1 && pending.size() < slots.size())) {
          continue;
        }
        requests[i] += RequestMessage(jobs[pending.back()]);
        slots[i].jobs.push_back(pending.back());
        pending.pop_back();
      }
    }
    for (std::size_t i = 0; i < slots.size(); ++i) {
      Slot& slot = slots[i];
      if (requests[i].empty()) {
        continue;
      }
      if (held_before[i] == 0) {
        slot.deadline = Clock::now() + time_limit;
      }
      if (SendToWorker(slot.worker, requests[i])) {
        continue;
      }
      // None of them reached it: they go out again, but for the first of an idle
      // worker, which failed with it (it was killed from outside).
      for (; slot.jobs.size() > std::max<std::size_t>(held_before[i], 1); slot.jobs.pop_back()) {
        pending.push_back(slot.jobs.back());
      }
      if (held_before[i] == 0) {
        Fail(&slot, "worker process was lost", true);
      }  // otherwise it ended on the file it holds: collecting it says how
    }
    return all_started;
  }

  // Ends the slot's worker and fails the file it was converting with `reason`, the
  // file it held next going back to be handed out again. Empty `reason`: the worker
  // has ended by itself, and how is the reason; otherwise it is killed, and
  // `with_end` adds how it ended to the reason.
  void Fail(Slot* slot, const std::string& reason, bool with_end = false) {
    const WorkerEnd end = EndWorker(slot->worker, !reason.empty());
    const std::size_t job_index = slot->jobs.front();
    for (std::size_t i = slot->jobs.size(); i > 1; --i) {
      pending.push_back(slot->jobs[i - 1]);  // next out again
    }
    *slot = Slot{};
    const std::string why = !reason.empty() ? reason
                            : end.crashed   ? "decoder crashed (" + end.how + ")"
                                            : "worker process ended unexpectedly (" + end.how + ")";
    Finish(job_index, FailedSource(jobs[job_index], with_end ? why + " (" + end.how + ")" : why));
  }

  // Records what the slot's worker said, and fails its file when it has ended.
  void Collect(Slot* slot) {
    Received received = ReceiveFromWorker(slot->worker, &slot->received);
    // One that has ended is read to the end first: the replies it sent before it
    // ended still count, and only the file it was converting fails.
    for (int reads = 0; received != Received::kClosed && reads < 64 && WorkerExited(slot->worker); ++reads) {
      WaitForWorkers({slot->worker}, 0);
      const Received more = ReceiveFromWorker(slot->worker, &slot->received);
      if (more == Received::kNothing) {
        break;
      }
      received = more;
    }
    for (;;) {
      Reply reply;
      const Taken taken = TakeReply(&slot->received, &reply);
      if (taken == Taken::kIncomplete) {
        break;
      }
      // A skip is an answer to a stop only: a file that no one converts and no one
      // fails would never let the batch end.
      if (taken != Taken::kTaken || slot->jobs.empty() || (reply.skipped && !stopping)) {
        Fail(slot, "worker process sent a malformed reply");
        return;
      }
      const std::size_t job_index = slot->jobs.front();
      const ConversionJob& job = jobs[job_index];
      slot->jobs.pop_front();
      slot->deadline = Clock::now() + time_limit;
      if (reply.skipped) {
        continue;  // after an interrupt: not converted
      }
      // A worker's word alone does not make a file converted: a regular file must be there.
      std::error_code error;
      if (reply.status == TARVELO_STATUS_CONVERTED &&
          !std::filesystem::is_regular_file(PathOf(job.destination), error)) {
        Finish(job_index, FailedSource(job, "worker reported success but left no output at " +
                                                DisplayedPath(job.destination, false)));
      } else {
        Finish(job_index, OutcomeOfStatus(job, reply.status, reply.detail));
      }
    }
    if (slot->jobs.empty()) {
      return;  // a closed channel or an end shows when the next file is handed out
    }
    // Ended, or its channel closed. One that is exiting closes its channel before it
    // can be waited for, so it gets a moment to end by itself and its own end is
    // reported, not the kill that follows. One that ended while a child of its own
    // holds the channel is seen to have ended.
    bool exited = WorkerExited(slot->worker);
    if (received != Received::kClosed && !exited) {
      return;
    }
    for (int tries = 0; tries < 20 && !exited; ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      exited = WorkerExited(slot->worker);
    }
    Fail(slot, exited ? "" : "worker process ended unexpectedly (it closed its channel)");
  }

  // Waits until `until` at the latest, then records what the workers said and
  // ends those past their deadline.
  void WaitAndCollect(Clock::time_point until) {
    std::vector<Worker*> busy;
    bool all_hold_more = true;
    for (const Slot& slot : slots) {
      if (!slot.jobs.empty()) {
        busy.push_back(slot.worker);
        all_hold_more = all_hold_more && slot.jobs.size() > 1;
      }
    }
    if (all_hold_more && !stopping) {
      // Every worker has its next file: their replies are taken a few at a time, not
      // by waking for each.
      std::this_thread::sleep_until(std::min(until, Clock::now() + kReplyPause));
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    WaitForWorkers(busy, static_cast<int>(std::clamp<decltype(wait)>(wait, 0, INT_MAX)));
    for (Slot& slot : slots) {
      if (!slot.jobs.empty()) {
        Collect(&slot);
      }
    }
    const Clock::time_point now = Clock::now();
    for (Slot& slot : slots) {
      if (!slot.jobs.empty() && now >= slot.deadline && !WorkerExited(slot.worker)) {
        Fail(&slot, "timed out after " + std::to_string(time_limit.count()) + " s");
      }
    }
  }

  // After an interrupt: waits out the grace for the busy workers.
  void LetBusyFilesFinish() {
    pending.clear();
    stopping = true;
    for (Slot& slot : slots) {
      if (!slot.jobs.empty() && !SendToWorker(slot.worker, kStopMessage)) {
        Collect(&slot);  // it is gone: says how
      }
    }
    const Clock::time_point grace_end = Clock::now() + std::chrono::seconds(kInterruptGraceSeconds);
    while (AnyBusy() && Clock::now() < grace_end) {
      WaitAndCollect(std::min(grace_end, NearestDeadline()));
    }
    pending.clear();  // the rest are killed as the pool ends
  }

  std::vector<Slot> slots;
  std::vector<std::size_t> pending;  // job indexes not handed out, next last
  const std::vector<ConversionJob>& jobs;
  std::chrono::seconds time_limit;
  RunReport* report;
  std::size_t finished = 0;
  std::string start_error{};  // why the last worker start failed
  bool stopping = false;      // the workers were told to stop

  // Ends every worker: idle ones see their channel close and exit, busy ones are
  // killed.
  ~WorkerPool() {
    for (Slot& slot : slots) {
      if (slot.worker != nullptr) {
        (void)EndWorker(slot.worker, !slot.jobs.empty());
      }
    }
  }
};

}  // namespace

void RunInWorkers(const std::vector<ConversionJob>& jobs, std::size_t worker_count,
                  std::chrono::seconds time_limit, RunReport* report) {
  WorkerPool pool{std::vector<WorkerPool::Slot>(std::clamp<std::size_t>(worker_count, 1, MaxWorkers())),
                  {},
                  jobs,
                  time_limit,
                  report};
  for (std::size_t i = jobs.size(); i > 0; --i) {
    pool.pending.push_back(i - 1);
  }
  pool.Run();
}

}  // namespace tarvelo::cli
