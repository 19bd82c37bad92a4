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
      (void)EndWorker(slot.worker, slot.job.has_value());
    }
  }
}

bool WorkerPool::AnyBusy() const {
  return std::any_of(slots_.begin(), slots_.end(), [](const Slot& slot) { return slot.job.has_value(); });
}

Clock::time_point WorkerPool::NearestDeadline() const {
  Clock::time_point nearest = Clock::time_point::max();
  for (const Slot& slot : slots_) {
    if (slot.job) {
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
  for (Slot& slot : slots_) {
    if (pending_.empty()) {
      break;
    }
    if (slot.job) {
      continue;
    }
    if (slot.worker == nullptr && (slot.worker = StartWorker(&start_error_)) == nullptr) {
      return false;  // the files wait for a slot whose worker did start
    }
    const std::size_t job_index = pending_.back();
    pending_.pop_back();
    slot.job = job_index;
    slot.received.clear();
    if (!SendToWorker(slot.worker, RequestMessage((*jobs_)[job_index]))) {
      // The worker died while idle (killed from outside): the file never reached it.
      const WorkerEnd end = EndWorker(slot.worker, true);
      slot.worker = nullptr;
      slot.job.reset();
      finish_(job_index, FailedSource((*jobs_)[job_index], "worker process was lost (" + end.how + ")"));
      continue;
    }
    slot.deadline = Clock::now() + time_limit_;
  }
  return true;
}

void WorkerPool::Fail(Slot* slot, const std::string& reason) {
  (void)EndWorker(slot->worker, true);
  const std::size_t job_index = *slot->job;
  *slot = Slot{};
  finish_(job_index, FailedSource((*jobs_)[job_index], reason));
}

void WorkerPool::Collect(Slot* slot) {
  const Received received = ReceiveFromWorker(slot->worker, &slot->received);
  Reply reply;
  const Taken taken = TakeReply(&slot->received, &reply);
  if (taken == Taken::kMalformed || (taken == Taken::kTaken && !slot->received.empty())) {
    Fail(slot, "worker process sent a malformed reply");
    return;
  }
  if (taken == Taken::kTaken) {
    const std::size_t job_index = *slot->job;
    const ConversionJob& job = (*jobs_)[job_index];
    slot->job.reset();
    // A worker's word alone does not make a file converted: its output must be there.
    if (reply.status == TARVELO_STATUS_CONVERTED && !OutputInPlace(job.destination)) {
      finish_(job_index,
              FailedSource(job, "worker reported success but left no output at " + job.destination));
    } else {
      finish_(job_index, OutcomeOfStatus(job, reply.status, reply.detail));
    }
    return;
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
  const WorkerEnd end = EndWorker(slot->worker, !exited);
  const std::size_t job_index = *slot->job;
  *slot = Slot{};
  finish_(job_index, FailedSource((*jobs_)[job_index],
                                  exited ? LostWorkerReason(end)
                                         : "worker process ended unexpectedly (it closed its channel)"));
}

void WorkerPool::WaitAndCollect(Clock::time_point until) {
  std::vector<Worker*> busy;
  for (const Slot& slot : slots_) {
    if (slot.job) {
      busy.push_back(slot.worker);
    }
  }
  WaitForWorkers(busy, until);
  for (Slot& slot : slots_) {
    if (slot.job) {
      Collect(&slot);
    }
  }
  const Clock::time_point now = Clock::now();
  for (Slot& slot : slots_) {
    if (slot.job && now >= slot.deadline && !WorkerExited(slot.worker)) {
      Fail(&slot, "timed out after " + std::to_string(time_limit_.count()) + " s");
    }
  }
}

void WorkerPool::LetBusyFilesFinish() {
  const Clock::time_point grace_end = Clock::now() + interrupt_grace_;
  while (AnyBusy() && Clock::now() < grace_end) {
    WaitAndCollect(std::min(grace_end, NearestDeadline()));
  }
  for (Slot& slot : slots_) {
    if (slot.job) {
      (void)EndWorker(slot.worker, true);
      slot = Slot{};
    }
  }
  pending_.clear();
}

}  // namespace tarvelo::cli
