#include "worker_pool.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <thread>

#include "worker_messages.h"

namespace tarvelo::cli {
namespace {

// Whether a regular file is at `destination`, as a conversion leaves it.
bool OutputInPlace(const std::string& destination) {
  std::error_code error;
  const std::u8string name(destination.begin(), destination.end());
  return std::filesystem::is_regular_file(std::filesystem::path(name), error);
}

// Why a file failed whose worker ended while converting it.
std::string LostWorkerReason(const WorkerEnd& end) {
  return (end.crashed ? "decoder crashed (" : "worker process ended unexpectedly (") + end.how + ")";
}

}  // namespace

WorkerPool::WorkerPool(std::size_t worker_count, std::chrono::seconds time_limit,
                       std::chrono::seconds interrupt_grace)
    : slots_(std::clamp<std::size_t>(worker_count, 1, MaxWorkers())),
      time_limit_(time_limit),
      interrupt_grace_(interrupt_grace) {}

WorkerPool::~WorkerPool() {
  for (Slot& slot : slots_) {
    if (slot.worker != nullptr) {
      (void)EndWorker(slot.worker, !slot.jobs.empty());
    }
  }
}

bool WorkerPool::AnyBusy() const {
  return std::any_of(slots_.begin(), slots_.end(), [](const Slot& slot) { return !slot.jobs.empty(); });
}

Clock::time_point WorkerPool::NearestDeadline() const {
  Clock::time_point nearest = Clock::time_point::max();
  for (const Slot& slot : slots_) {
    if (!slot.jobs.empty()) {
      nearest = std::min(nearest, slot.deadline);
    }
  }
  return nearest;
}

void WorkerPool::Run(const std::vector<ConversionJob>& jobs, const Completion& on_complete) {
  jobs_ = &jobs;
  pending_.clear();
  for (std::size_t i = jobs.size(); i > 0; --i) {
    pending_.push_back(i - 1);
  }
  std::size_t finished = 0;
  finish_ = [&](std::size_t job_index, const ConversionOutcome& outcome) {
    ++finished;
    on_complete(job_index, outcome);
  };
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
      for (; !pending_.empty(); pending_.pop_back()) {
        const ConversionJob& job = jobs[pending_.back()];
        finish_(pending_.back(), FailedSource(job, "cannot start a worker process: " + start_error_));
      }
    }
  }
}

bool WorkerPool::Dispatch() {
  // Each worker gets the file it converts first, then the next while there are at
  // least as many files left as workers: near the end, a file waits for no worker
  // busy with another while one is idle.
  for (std::size_t held = 1; held <= 2; ++held) {
    for (Slot& slot : slots_) {
      if (slot.jobs.size() >= held || pending_.empty() || (held > 1 && pending_.size() < slots_.size())) {
        continue;
      }
      if (slot.worker == nullptr && (slot.worker = StartWorker(&start_error_)) == nullptr) {
        return false;  // the files wait for a slot whose worker did start
      }
      const std::size_t job_index = pending_.back();
      if (!SendToWorker(slot.worker, RequestMessage((*jobs_)[job_index]))) {
        if (!slot.jobs.empty()) {
          continue;  // it ended on the file it holds: collecting it says how
        }
        // It ended while idle (killed from outside): the file never reached it.
        slot.jobs.push_back(job_index);
        pending_.pop_back();
        Fail(&slot, "worker process was lost", true);
        continue;
      }
      pending_.pop_back();
      if (slot.jobs.empty()) {
        slot.deadline = Clock::now() + time_limit_;
      }
      slot.jobs.push_back(job_index);
    }
  }
  return true;
}

void WorkerPool::Fail(Slot* slot, const std::string& reason, bool with_end) {
  const WorkerEnd end = EndWorker(slot->worker, !reason.empty());
  const std::size_t job_index = slot->jobs.front();
  for (std::size_t i = slot->jobs.size(); i > 1; --i) {
    pending_.push_back(slot->jobs[i - 1]);  // next out again
  }
  *slot = Slot{};
  const std::string why = reason.empty() ? LostWorkerReason(end) : reason;
  finish_(job_index, FailedSource((*jobs_)[job_index], with_end ? why + " (" + end.how + ")" : why));
}

void WorkerPool::Collect(Slot* slot) {
  const Received received = ReceiveFromWorker(slot->worker, &slot->received);
  for (;;) {
    Reply reply;
    const Taken taken = TakeReply(&slot->received, &reply);
    if (taken == Taken::kIncomplete) {
      break;
    }
    // A skip is an answer to a stop only: a file that no one converts and no one
    // fails would never let the batch end.
    if (taken != Taken::kTaken || slot->jobs.empty() || (reply.skipped && !stopping_)) {
      Fail(slot, "worker process sent a malformed reply");
      return;
    }
    const std::size_t job_index = slot->jobs.front();
    const ConversionJob& job = (*jobs_)[job_index];
    slot->jobs.pop_front();
    slot->deadline = Clock::now() + time_limit_;
    if (reply.skipped) {
      continue;  // after an interrupt: not converted
    }
    // A worker's word alone does not make a file converted: its output must be there.
    if (reply.status == TARVELO_STATUS_CONVERTED && !OutputInPlace(job.destination)) {
      finish_(job_index,
              FailedSource(job, "worker reported success but left no output at " + job.destination));
    } else {
      finish_(job_index, OutcomeOfStatus(job, reply.status, reply.detail));
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

void WorkerPool::WaitAndCollect(Clock::time_point until) {
  std::vector<Worker*> busy;
  for (const Slot& slot : slots_) {
    if (!slot.jobs.empty()) {
      busy.push_back(slot.worker);
    }
  }
  WaitForWorkers(busy, until);
  for (Slot& slot : slots_) {
    if (!slot.jobs.empty()) {
      Collect(&slot);
    }
  }
  const Clock::time_point now = Clock::now();
  for (Slot& slot : slots_) {
    if (!slot.jobs.empty() && now >= slot.deadline && !WorkerExited(slot.worker)) {
      Fail(&slot, "timed out after " + std::to_string(time_limit_.count()) + " s");
    }
  }
}

void WorkerPool::LetBusyFilesFinish() {
  pending_.clear();
  stopping_ = true;
  for (Slot& slot : slots_) {
    if (!slot.jobs.empty() && !SendToWorker(slot.worker, kStopMessage)) {
      Collect(&slot);  // it is gone: says how
    }
  }
  const Clock::time_point grace_end = Clock::now() + interrupt_grace_;
  while (AnyBusy() && Clock::now() < grace_end) {
    WaitAndCollect(std::min(grace_end, NearestDeadline()));
  }
  for (Slot& slot : slots_) {
    if (!slot.jobs.empty()) {
      (void)EndWorker(slot.worker, true);
      slot = Slot{};
    }
  }
  pending_.clear();
}

}  // namespace tarvelo::cli
