#include "worker_pool.h"

#include <algorithm>

#include "interrupt.h"

namespace tarvelo::cli {
namespace {

// Why a file failed whose worker died while converting it.
std::string LostWorkerReason(const WorkerSlots::WorkerEnd& end) {
  return (end.crashed ? "decoder crashed (" : "worker process ended unexpectedly (") + end.how + ")";
}

}  // namespace

WorkerPool::WorkerPool(std::size_t worker_count, std::chrono::seconds time_limit,
                       std::chrono::seconds interrupt_grace)
    : slots_(worker_count),
      busy_(slots_.size()),
      time_limit_(time_limit),
      interrupt_grace_(interrupt_grace) {}

bool WorkerPool::AnyBusy() const {
  return std::any_of(busy_.begin(), busy_.end(),
                     [](const std::optional<Busy>& busy) { return busy.has_value(); });
}

void WorkerPool::Run(const std::vector<ConversionJob>& jobs, const Completion& on_complete) {
  pending_.clear();
  for (std::size_t i = jobs.size(); i > 0; --i) {
    pending_.push_back(i - 1);
  }
  std::size_t finished = 0;
  const Completion finish = [&](std::size_t job_index, const ConversionOutcome& outcome) {
    ++finished;
    on_complete(job_index, outcome);
  };

  while (finished < jobs.size()) {
    if (InterruptSignal() != 0) {
      LetBusyFilesFinish(jobs, finish);
      return;
    }
    const bool start_failed = !Dispatch(jobs, finish);
    if (!AnyBusy() && start_failed) {
      // Nothing runs and no worker could be started: the rest cannot be converted.
      while (!pending_.empty()) {
        const std::size_t job_index = pending_.back();
        pending_.pop_back();
        finish(job_index, FailedSource(jobs[job_index], "cannot start a worker process: " + start_error_));
      }
      continue;
    }
    if (AnyBusy()) {
      WaitAndCollect(NearestDeadline(), jobs, finish);
    }
  }
}

void WorkerPool::LetBusyFilesFinish(const std::vector<ConversionJob>& jobs, const Completion& finish) {
  const Clock::time_point grace_end = Clock::now() + interrupt_grace_;
  while (AnyBusy() && Clock::now() < grace_end) {
    WaitAndCollect(std::min(grace_end, NearestDeadline()), jobs, finish);
  }
  for (std::size_t slot = 0; slot < busy_.size(); ++slot) {
    if (busy_[slot]) {
      slots_.Kill(slot);
      busy_[slot].reset();
    }
  }
}

WorkerPool::Clock::time_point WorkerPool::NearestDeadline() const {
  Clock::time_point nearest = Clock::time_point::max();
  for (const std::optional<Busy>& busy : busy_) {
    if (busy) {
      nearest = std::min(nearest, busy->deadline);
    }
  }
  return nearest;
}

bool WorkerPool::Dispatch(const std::vector<ConversionJob>& jobs, const Completion& finish) {
  bool started = true;
  for (std::size_t slot = 0; slot < busy_.size() && !pending_.empty(); ++slot) {
    if (busy_[slot]) {
      continue;
    }
    const std::size_t job_index = pending_.back();
    const ConversionJob& job = jobs[job_index];
    const WorkerSlots::SendResult sent =
        slots_.Send(slot, {job.layout, job.source, job.destination, job.max_pixels});
    switch (sent.kind) {
      case WorkerSlots::SendResult::Kind::kSent:
        pending_.pop_back();
        busy_[slot] = Busy{job_index, Clock::now() + time_limit_};
        break;
      case WorkerSlots::SendResult::Kind::kCannotStart:
        // The job waits for a slot whose worker did start.
        start_error_ = sent.reason;
        started = false;
        break;
      case WorkerSlots::SendResult::Kind::kLost:
        pending_.pop_back();
        finish(job_index, FailedSource(job, "worker process was lost (" + sent.end.how + ")"));
        break;
    }
  }
  return started;
}

void WorkerPool::WaitAndCollect(Clock::time_point until, const std::vector<ConversionJob>& jobs,
                                const Completion& finish) {
  for (const std::size_t slot : slots_.WaitForAny(until)) {
    if (!busy_[slot]) {
      continue;
    }
    const std::size_t job_index = busy_[slot]->job_index;
    const WorkerSlots::Collected collected = slots_.Collect(slot);
    switch (collected.kind) {
      case WorkerSlots::Collected::Kind::kNothingYet: continue;
      case WorkerSlots::Collected::Kind::kReply:
        busy_[slot].reset();
        finish(job_index, OutcomeOfStatus(jobs[job_index], collected.reply.status, collected.reply.detail));
        break;
      case WorkerSlots::Collected::Kind::kMalformed:
        busy_[slot].reset();
        finish(job_index, FailedSource(jobs[job_index], "worker process sent a malformed reply"));
        break;
      case WorkerSlots::Collected::Kind::kLost:
        busy_[slot].reset();
        finish(job_index, FailedSource(jobs[job_index], LostWorkerReason(collected.end)));
        break;
    }
  }
  const Clock::time_point now = Clock::now();
  for (std::size_t slot = 0; slot < busy_.size(); ++slot) {
    if (!busy_[slot] || now < busy_[slot]->deadline) {
      continue;
    }
    const std::size_t job_index = busy_[slot]->job_index;
    slots_.Kill(slot);
    busy_[slot].reset();
    finish(job_index,
           FailedSource(jobs[job_index], "timed out after " + std::to_string(time_limit_.count()) + " s"));
  }
}

}  // namespace tarvelo::cli
