#include "worker_pool.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <system_error>

#include "interrupt.h"

namespace tarvelo::cli {
namespace {

// How the pending files are cut into runs.
struct RunSizing {
  // A source of this many bytes or more goes alone: its conversion outweighs a
  // request, and alone it cannot hold up the small files behind it.
  std::uintmax_t large_source_bytes;
  // A run takes no more files once its sources add up to this many bytes.
  std::uintmax_t run_source_bytes;
  // A run takes at most the pending files' share of this many runs per worker, so
  // runs shorten near the end of a batch and no worker waits idle while another
  // still holds a long run.
  std::size_t runs_ahead_per_worker;
};
constexpr RunSizing kRunSizing{std::uintmax_t{256} << 10, std::uintmax_t{1} << 20, 4};

// Size of a batch source (one stat); unknown sizes count as small, as the worker
// will report what is wrong with the file.
std::uintmax_t SourceBytes(const std::string& source) {
  std::error_code error;
  const std::u8string name(source.begin(), source.end());
  const std::uintmax_t size = std::filesystem::file_size(std::filesystem::path(name), error);
  return error ? 0 : size;
}

// Whether a regular file is at `destination`, as a conversion leaves it.
bool OutputInPlace(const std::string& destination) {
  std::error_code error;
  const std::u8string name(destination.begin(), destination.end());
  return std::filesystem::is_regular_file(std::filesystem::path(name), error);
}

// Why a file failed whose worker died while converting it.
std::string LostWorkerReason(const WorkerSlots::WorkerEnd& end) {
  return (end.crashed ? "decoder crashed (" : "worker process ended unexpectedly (") + end.how + ")";
}

}  // namespace

WorkerPool::WorkerPool(std::size_t worker_count, std::chrono::seconds time_limit,
                       std::chrono::seconds interrupt_grace)
    : slots_(worker_count),
      busy_(slots_.size()),
      clocks_(slots_.size()),
      time_limit_(time_limit),
      interrupt_grace_(interrupt_grace) {}

bool WorkerPool::AnyBusy() const {
  return std::any_of(busy_.begin(), busy_.end(),
                     [](const std::optional<FileRun>& busy) { return busy.has_value(); });
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

WorkerPool::FileRun WorkerPool::TakeRun(const std::vector<ConversionJob>& jobs) {
  const std::size_t share = pending_.size() / (kRunSizing.runs_ahead_per_worker * busy_.size());
  const std::size_t longest = std::clamp<std::size_t>(share, 1, kMaxRunFiles);
  FileRun run;
  std::uintmax_t bytes = 0;
  while (!pending_.empty() && run.size() < longest && bytes < kRunSizing.run_source_bytes) {
    const std::size_t job_index = pending_.back();
    const std::uintmax_t size = longest > 1 ? SourceBytes(jobs[job_index].source) : 0;
    const bool large = size >= kRunSizing.large_source_bytes;
    if (large && !run.empty()) {
      break;  // it starts the next run, alone
    }
    pending_.pop_back();
    run.push_back(job_index);
    bytes += size;
    if (large) {
      break;
    }
  }
  return run;
}

std::size_t WorkerPool::FinishReplied(const FileRun& run, const std::vector<ConversionReply>& replies,
                                      const std::vector<ConversionJob>& jobs, const Completion& finish) {
  const std::size_t replied = std::min(run.size(), replies.size());
  for (std::size_t i = 0; i < replied; ++i) {
    const ConversionJob& job = jobs[run[i]];
    // A worker's word alone does not make a file converted: its output must be there.
    if (replies[i].status == TARVELO_STATUS_CONVERTED && !OutputInPlace(job.destination)) {
      finish(run[i], FailedSource(job, "worker reported success but left no output at " + job.destination));
      continue;
    }
    finish(run[i], OutcomeOfStatus(job, replies[i].status, replies[i].detail));
  }
  return replied;
}

void WorkerPool::FailAndRequeue(const FileRun& run, std::size_t failed, const std::string& reason,
                                const std::vector<ConversionJob>& jobs, const Completion& finish) {
  if (failed >= run.size()) {
    return;  // every file was done; the worker ended after the run
  }
  finish(run[failed], FailedSource(jobs[run[failed]], reason));
  for (std::size_t i = run.size(); i > failed + 1; --i) {
    pending_.push_back(run[i - 1]);  // next out: the run's order is kept
  }
}

void WorkerPool::LetBusyFilesFinish(const std::vector<ConversionJob>& jobs, const Completion& finish) {
  for (std::size_t slot = 0; slot < busy_.size(); ++slot) {
    if (busy_[slot]) {
      slots_.StopAfterCurrentFile(slot);
    }
  }
  const Clock::time_point grace_end = Clock::now() + interrupt_grace_;
  while (AnyBusy() && Clock::now() < grace_end) {
    WaitAndCollect(std::min(grace_end, NearestDeadline()), jobs, finish);
  }
  for (std::size_t slot = 0; slot < busy_.size(); ++slot) {
    if (busy_[slot]) {
      FinishReplied(*busy_[slot], slots_.Kill(slot), jobs, finish);
      busy_[slot].reset();
    }
  }
  // Files that went back to be handed out again after a crash in the grace stay
  // unconverted, as do the rest.
  pending_.clear();
}

WorkerPool::Clock::time_point WorkerPool::Deadline(std::size_t slot) {
  FileClock& clock = clocks_[slot];
  const std::size_t replies = slots_.RepliesPosted(slot);
  if (replies > clock.replies_seen) {
    clock = {Clock::now(), replies};
  }
  return clock.since + time_limit_;
}

WorkerPool::Clock::time_point WorkerPool::NearestDeadline() {
  Clock::time_point nearest = Clock::time_point::max();
  for (std::size_t slot = 0; slot < busy_.size(); ++slot) {
    if (busy_[slot]) {
      nearest = std::min(nearest, Deadline(slot));
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
    const FileRun run = TakeRun(jobs);
    std::vector<ConversionRequest> requests;
    requests.reserve(run.size());
    for (const std::size_t job_index : run) {
      const ConversionJob& job = jobs[job_index];
      requests.push_back({job.layout, job.source, job.destination, job.max_pixels});
    }
    const WorkerSlots::SendResult sent = slots_.Send(slot, requests);
    switch (sent.kind) {
      case WorkerSlots::SendResult::Kind::kSent:
        busy_[slot] = run;
        clocks_[slot] = {Clock::now(), 0};
        break;
      case WorkerSlots::SendResult::Kind::kCannotStart:
        // The run waits for a slot whose worker did start.
        for (std::size_t i = run.size(); i > 0; --i) {
          pending_.push_back(run[i - 1]);
        }
        start_error_ = sent.reason;
        started = false;
        break;
      case WorkerSlots::SendResult::Kind::kLost:
        FailAndRequeue(run, 0, "worker process was lost (" + sent.end.how + ")", jobs, finish);
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
    WorkerSlots::Collected collected = slots_.Collect(slot);
    if (collected.kind == WorkerSlots::Collected::Kind::kNothingYet) {
      continue;
    }
    const FileRun run = std::move(*busy_[slot]);
    busy_[slot].reset();
    const std::size_t replied = FinishReplied(run, collected.replies, jobs, finish);
    switch (collected.kind) {
      case WorkerSlots::Collected::Kind::kNothingYet:
      case WorkerSlots::Collected::Kind::kRunDone:
        break;  // files without a reply were stopped by an interrupt: not converted
      case WorkerSlots::Collected::Kind::kMalformed:
        FailAndRequeue(run, replied, "worker process sent a malformed reply", jobs, finish);
        break;
      case WorkerSlots::Collected::Kind::kLost:
        FailAndRequeue(run, replied, LostWorkerReason(collected.end), jobs, finish);
        break;
    }
  }
  const Clock::time_point now = Clock::now();
  for (std::size_t slot = 0; slot < busy_.size(); ++slot) {
    if (!busy_[slot] || now < Deadline(slot)) {
      continue;
    }
    const FileRun run = std::move(*busy_[slot]);
    busy_[slot].reset();
    const std::size_t replied = FinishReplied(run, slots_.Kill(slot), jobs, finish);
    FailAndRequeue(run, replied, "timed out after " + std::to_string(time_limit_.count()) + " s", jobs,
                   finish);
  }
}

}  // namespace tarvelo::cli
