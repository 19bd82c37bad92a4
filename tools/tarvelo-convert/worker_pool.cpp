#include "worker_pool.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>

#include "fd_io.h"
#include "interrupt.h"
#include "worker_process.h"
#include "worker_protocol.h"

namespace tarvelo::cli {
namespace {

std::string DescribeWaitStatus(int wait_status) {
  if (WIFSIGNALED(wait_status)) {
    return "signal " + std::to_string(WTERMSIG(wait_status));
  }
  if (WIFEXITED(wait_status)) {
    return "exit status " + std::to_string(WEXITSTATUS(wait_status));
  }
  return "wait status " + std::to_string(wait_status);
}

// Why a file failed whose worker died while converting it.
std::string LostWorkerReason(int wait_status) {
  if (WIFSIGNALED(wait_status)) {
    return "decoder crashed (" + DescribeWaitStatus(wait_status) + ")";
  }
  return "worker process ended unexpectedly (" + DescribeWaitStatus(wait_status) + ")";
}

void WaitForExit(pid_t pid, int* wait_status) {
  while (waitpid(pid, wait_status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

WorkerPool::WorkerPool(std::size_t worker_count, std::chrono::seconds time_limit)
    : workers_(std::max<std::size_t>(worker_count, 1)), time_limit_(time_limit) {
  // A write to a worker that just died must fail with EPIPE, not end the tool.
  (void)std::signal(SIGPIPE, SIG_IGN);
  // Inherited SIGCHLD=SIG_IGN would make the kernel reap workers itself and leave
  // the tool without their exit status.
  (void)std::signal(SIGCHLD, SIG_DFL);
}

WorkerPool::~WorkerPool() {
  // Close every channel first so that idle workers all see end of file and exit
  // together; a busy one is killed.
  for (Worker& worker : workers_) {
    if (worker.pid < 0) {
      continue;
    }
    close(worker.channel);
    worker.channel = -1;
    if (worker.job) {
      kill(worker.pid, SIGKILL);
    }
  }
  for (Worker& worker : workers_) {
    if (worker.pid < 0) {
      continue;
    }
    int ignored = 0;
    WaitForExit(worker.pid, &ignored);
  }
}

bool WorkerPool::Start(Worker* worker) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
    start_error_ = std::strerror(errno);
    return false;
  }
  for (const int end : ends) {
    fcntl(end, F_SETFD, FD_CLOEXEC);
  }
  // Buffered output would otherwise be written once more by the child.
  (void)std::fflush(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    start_error_ = std::strerror(errno);
    close(ends[0]);
    close(ends[1]);
    return false;
  }
  if (pid == 0) {
    // Keep only this worker's own end: a sibling's channel held open here would
    // hide that sibling's death from the tool.
    close(ends[0]);
    for (const Worker& other : workers_) {
      if (other.channel >= 0) {
        close(other.channel);
      }
    }
#if defined(__linux__)
    // A worker stuck in the decoder must not outlive a tool that was killed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
      _exit(0);
    }
#else
    (void)parent;
#endif
    RunWorker(ends[1], ends[1]);
  }
  close(ends[1]);
  worker->pid = pid;
  worker->channel = ends[0];
  worker->job.reset();
  worker->received.clear();
  return true;
}

int WorkerPool::Stop(Worker* worker, bool kill_first) {
  close(worker->channel);
  if (kill_first) {
    kill(worker->pid, SIGKILL);
  }
  int wait_status = 0;
  WaitForExit(worker->pid, &wait_status);
  *worker = Worker{};
  return wait_status;
}

bool WorkerPool::Dispatch(Worker* worker, std::size_t job_index, const std::vector<ConversionJob>& jobs) {
  const ConversionJob& job = jobs[job_index];
  worker->job = job_index;
  worker->received.clear();
  worker->deadline = Clock::now() + time_limit_;
  return SendRequest(worker->channel, {job.layout, job.source, job.destination, job.max_pixels});
}

void WorkerPool::Run(const std::vector<ConversionJob>& jobs, const Completion& on_complete) {
  std::deque<std::size_t> pending;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    pending.push_back(i);
  }
  std::size_t finished = 0;
  const Completion finish = [&](std::size_t job_index, const ConversionOutcome& outcome) {
    ++finished;
    on_complete(job_index, outcome);
  };

  // An interrupt ends the run: the files not finished are left to the caller, and
  // the destructor stops the busy workers.
  while (finished < jobs.size() && InterruptSignal() == 0) {
    bool any_busy = false;
    for (Worker& worker : workers_) {
      if (!worker.job && !pending.empty() && (worker.pid >= 0 || Start(&worker))) {
        const std::size_t job_index = pending.front();
        pending.pop_front();
        if (!Dispatch(&worker, job_index, jobs)) {
          // The worker died while idle (killed from outside): the file never reached it.
          const std::string why = DescribeWaitStatus(Stop(&worker, true));
          finish(job_index, FailedSource(jobs[job_index], "worker process was lost (" + why + ")"));
          continue;
        }
      }
      any_busy = any_busy || worker.job.has_value();
    }
    if (!any_busy) {
      // Nothing runs and no worker could be started: the rest cannot be converted.
      while (!pending.empty()) {
        const std::size_t job_index = pending.front();
        pending.pop_front();
        finish(job_index, FailedSource(jobs[job_index], "cannot start a worker process: " + start_error_));
      }
      continue;
    }
    WaitForReplies(jobs, finish);
  }
}

void WorkerPool::WaitForReplies(const std::vector<ConversionJob>& jobs, const Completion& finish) {
  std::vector<pollfd> watched;
  std::vector<Worker*> busy;
  Clock::time_point nearest = Clock::time_point::max();
  for (Worker& worker : workers_) {
    if (!worker.job) {
      continue;
    }
    watched.push_back({worker.channel, POLLIN, 0});
    busy.push_back(&worker);
    nearest = std::min(nearest, worker.deadline);
  }
  if (InterruptWakeFd() >= 0) {
    watched.push_back({InterruptWakeFd(), POLLIN, 0});
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nearest - Clock::now()).count();
  const int timeout_ms = static_cast<int>(std::clamp<decltype(wait)>(wait, 0, INT_MAX));
  const int ready = poll(watched.data(), watched.size(), timeout_ms);
  if (ready < 0 && errno != EINTR) {
    // poll() itself failed (out of memory): wait a little instead of spinning.
    usleep(10000);
    return;
  }
  for (std::size_t i = 0; ready > 0 && i < busy.size(); ++i) {
    if (watched[i].revents != 0) {
      Collect(busy[i], jobs, finish);
    }
  }
  if (watched.size() > busy.size() && watched.back().revents != 0) {
    DrainInterruptWakeFd();
  }
  const Clock::time_point now = Clock::now();
  for (Worker* worker : busy) {
    if (!worker->job || now < worker->deadline) {
      continue;
    }
    const std::size_t job_index = *worker->job;
    Stop(worker, true);
    finish(job_index,
           FailedSource(jobs[job_index], "timed out after " + std::to_string(time_limit_.count()) + " s"));
  }
}

void WorkerPool::Collect(Worker* worker, const std::vector<ConversionJob>& jobs, const Completion& finish) {
  const std::size_t job_index = *worker->job;
  char buffer[4096];
  const long got = ReadSome(worker->channel, buffer, sizeof buffer);
  if (got <= 0) {
    // End of file or a reset: the worker is gone (or going) mid-conversion. Kill it
    // in case it merely closed the socket, so that reaping cannot hang.
    finish(job_index, FailedSource(jobs[job_index], LostWorkerReason(Stop(worker, true))));
    return;
  }
  worker->received.append(buffer, static_cast<std::size_t>(got));
  ConversionReply reply;
  switch (ParseReply(worker->received, &reply)) {
    case ReplyParse::kIncomplete: return;
    case ReplyParse::kComplete:
      worker->job.reset();
      worker->received.clear();
      finish(job_index, OutcomeOfStatus(jobs[job_index], reply.status, reply.detail));
      return;
    case ReplyParse::kMalformed:
      Stop(worker, true);
      finish(job_index, FailedSource(jobs[job_index], "worker process sent a malformed reply"));
      return;
  }
}

}  // namespace tarvelo::cli
