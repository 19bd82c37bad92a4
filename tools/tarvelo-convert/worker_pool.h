#pragma once

#if !defined(_WIN32)
#include <sys/types.h>
#endif

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "conversion_job.h"

namespace tarvelo::cli {

// Converts files in worker processes, so that a decoder that crashes or hangs on
// one file costs only that file.
//
// Each worker is a fork of the tool connected by a socket pair; it is started once
// and then converts one file after another (see worker_process.h), so a file costs
// one small request and reply, not a process start. The tool waits on all busy
// workers with poll(), with the nearest deadline as timeout. A worker that dies
// fails its file with "decoder crashed (signal N)"; one still busy at its file's
// deadline is killed and fails it with "timed out after N s". Either way the worker
// is reaped and a fresh one takes its place for the remaining files.
//
// Not thread-safe; meant for a single-threaded tool (it forks). It ignores SIGPIPE
// for the process, so a worker that vanishes makes writes fail rather than kill
// the tool.
class WorkerPool {
 public:
  WorkerPool(std::size_t worker_count, std::chrono::seconds time_limit);
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  // Ends and reaps every worker; none outlives the pool.
  ~WorkerPool();

  using Completion = std::function<void(std::size_t job_index, const ConversionOutcome& outcome)>;
  // Converts every job and calls `on_complete` once per job, in the order they
  // finish, on the calling thread.
  void Run(const std::vector<ConversionJob>& jobs, const Completion& on_complete);

 private:
  using Clock = std::chrono::steady_clock;
#if defined(_WIN32)
  // Windows: one worker process per file, started with CreateProcessW (see
  // worker_pool_windows.cpp).
  struct Worker {
    void* process = nullptr;  // null: the slot has no process
    void* replies = nullptr;  // read end of the worker's standard output
    std::optional<std::size_t> job;
    Clock::time_point deadline;
  };
  bool Start(Worker* worker, const ConversionJob& job);
  void Finish(Worker* worker, const std::vector<ConversionJob>& jobs, const Completion& finish);
  void Release(Worker* worker);
  bool WaitForAny(const std::vector<ConversionJob>& jobs, const Completion& finish);
#else
  struct Worker {
    pid_t pid = -1;  // -1: the slot has no process
    int channel = -1;
    std::optional<std::size_t> job;
    Clock::time_point deadline;
    std::string received;  // reply bytes read so far
  };

  bool Start(Worker* worker);
  // Closes the channel, kills the process when asked, reaps it and empties the
  // slot. Returns the wait status.
  int Stop(Worker* worker, bool kill_first);
  bool Dispatch(Worker* worker, std::size_t job_index, const std::vector<ConversionJob>& jobs);
  void WaitForReplies(const std::vector<ConversionJob>& jobs, const Completion& finish);
  void Collect(Worker* worker, const std::vector<ConversionJob>& jobs, const Completion& finish);
#endif

  std::vector<Worker> workers_;
  std::chrono::seconds time_limit_;
  std::string start_error_;  // why the last worker start failed
};

}  // namespace tarvelo::cli
