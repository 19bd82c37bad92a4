// Windows: each file of a batch is converted by a worker process of its own, the
// tool itself started with CreateProcessW in its hidden worker mode. The request
// goes to the worker's standard input and the reply comes back on its standard
// output, in the same frames as the POSIX workers' socket carries. Windows has no
// fork, and a process start costs there about what a file's conversion does, so
// the worker is not reused: its exit, which the tool can wait on together with the
// other workers and the interrupt event, is the sign that its reply is complete.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <system_error>

#include "interrupt.h"
#include "windows_text.h"
#include "worker_pool.h"
#include "worker_process.h"
#include "worker_protocol.h"

namespace tarvelo::cli {
namespace {

// WaitForMultipleObjects waits on at most 64 handles, one of them the interrupt event.
constexpr std::size_t kMaxWorkers = MAXIMUM_WAIT_OBJECTS - 1;
// Larger than any reply frame, so that a worker never blocks writing its reply
// while the tool waits for it to end.
constexpr DWORD kReplyPipeBytes = 64 * 1024;
// Exit codes from here up are exception codes: the process died of an exception
// no handler caught (0xC0000005 is an access violation).
constexpr DWORD kFirstExceptionCode = 0xC0000000;

std::string SystemMessage(DWORD error) { return std::system_category().message(static_cast<int>(error)); }

std::wstring ToolPath() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length < path.size() ? length : 0);
  return path;
}

std::string LostWorkerReason(DWORD exit_code) {
  char text[64];
  if (exit_code >= kFirstExceptionCode) {
    (void)std::snprintf(text, sizeof text, "decoder crashed (exception 0x%08lX)",
                        static_cast<unsigned long>(exit_code));
  } else {
    (void)std::snprintf(text, sizeof text, "worker process ended unexpectedly (exit status %lu)",
                        static_cast<unsigned long>(exit_code));
  }
  return text;
}

// Reads what the worker wrote until its end of the pipe is closed.
std::string ReadReply(HANDLE pipe) {
  std::string received;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) != 0 && got > 0) {
    received.append(buffer, got);
  }
  return received;
}

bool WriteRequest(HANDLE pipe, const ConversionJob& job) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(pipe), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(pipe);
    return false;
  }
  const bool sent = SendRequest(fd, {job.layout, job.source, job.destination, job.max_pixels});
  (void)_close(fd);  // closes the pipe too: the worker sees the end of its requests
  return sent;
}

}  // namespace

WorkerPool::WorkerPool(std::size_t worker_count, std::chrono::seconds time_limit)
    : workers_(std::clamp<std::size_t>(worker_count, 1, kMaxWorkers)), time_limit_(time_limit) {}

WorkerPool::~WorkerPool() {
  for (Worker& worker : workers_) {
    if (worker.process != nullptr) {
      (void)TerminateProcess(worker.process, 1);
      (void)WaitForSingleObject(worker.process, INFINITE);
      Release(&worker);
    }
  }
}

bool WorkerPool::Start(Worker* worker, const ConversionJob& job) {
  static const std::wstring tool = ToolPath();
  if (tool.empty()) {
    start_error_ = SystemMessage(GetLastError());
    return false;
  }
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE request_read = nullptr;
  HANDLE request_write = nullptr;
  HANDLE reply_read = nullptr;
  HANDLE reply_write = nullptr;
  if (CreatePipe(&request_read, &request_write, &inheritable, 0) == 0) {
    start_error_ = SystemMessage(GetLastError());
    return false;
  }
  if (CreatePipe(&reply_read, &reply_write, &inheritable, kReplyPipeBytes) == 0) {
    start_error_ = SystemMessage(GetLastError());
    CloseHandle(request_read);
    CloseHandle(request_write);
    return false;
  }
  // The tool's own ends stay out of every worker, or a worker would hold another's
  // pipe open.
  (void)SetHandleInformation(request_write, HANDLE_FLAG_INHERIT, 0);
  (void)SetHandleInformation(reply_read, HANDLE_FLAG_INHERIT, 0);
  HANDLE error_output = nullptr;
  const HANDLE own_error = GetStdHandle(STD_ERROR_HANDLE);
  if (own_error != nullptr && own_error != INVALID_HANDLE_VALUE) {
    (void)DuplicateHandle(GetCurrentProcess(), own_error, GetCurrentProcess(), &error_output, 0, TRUE,
                          DUPLICATE_SAME_ACCESS);
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = request_read;
  startup.hStdOutput = reply_write;
  startup.hStdError = error_output;
  std::wstring command_line = L"\"" + tool + L"\" " + WideFromUtf8(kWorkerArgument);
  PROCESS_INFORMATION process{};
  // A process group of its own: the console's Ctrl-C goes to the tool, which
  // reports and then stops its workers, instead of killing them under it.
  const BOOL started = CreateProcessW(tool.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                      CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &process);
  const DWORD start_failure = GetLastError();
  CloseHandle(request_read);
  CloseHandle(reply_write);
  if (error_output != nullptr) {
    CloseHandle(error_output);
  }
  if (started == 0) {
    start_error_ = SystemMessage(start_failure);
    CloseHandle(request_write);
    CloseHandle(reply_read);
    return false;
  }
  CloseHandle(process.hThread);
  worker->process = process.hProcess;
  worker->replies = reply_read;
  // A worker that dies before reading its request fails the write; its exit code
  // then tells why.
  (void)WriteRequest(request_write, job);
  return true;
}

void WorkerPool::Release(Worker* worker) {
  CloseHandle(static_cast<HANDLE>(worker->process));
  CloseHandle(static_cast<HANDLE>(worker->replies));
  *worker = Worker{};
}

void WorkerPool::Finish(Worker* worker, const std::vector<ConversionJob>& jobs, const Completion& finish) {
  const std::size_t job_index = *worker->job;
  DWORD exit_code = 0;
  (void)GetExitCodeProcess(static_cast<HANDLE>(worker->process), &exit_code);
  const std::string received = ReadReply(static_cast<HANDLE>(worker->replies));
  Release(worker);
  if (exit_code >= kFirstExceptionCode || received.empty()) {
    finish(job_index, FailedSource(jobs[job_index], LostWorkerReason(exit_code)));
    return;
  }
  ConversionReply reply;
  if (ParseReply(received, &reply) != ReplyParse::kComplete) {
    finish(job_index, FailedSource(jobs[job_index], "worker process sent a malformed reply"));
    return;
  }
  finish(job_index, OutcomeOfStatus(jobs[job_index], reply.status, reply.detail));
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
      if (!worker.job && !pending.empty()) {
        const std::size_t job_index = pending.front();
        pending.pop_front();
        if (!Start(&worker, jobs[job_index])) {
          finish(job_index, FailedSource(jobs[job_index], "cannot start a worker process: " + start_error_));
          continue;
        }
        worker.job = job_index;
        worker.deadline = Clock::now() + time_limit_;
      }
      any_busy = any_busy || worker.job.has_value();
    }
    if (any_busy) {
      WaitForAny(jobs, finish);
    }
  }
}

bool WorkerPool::WaitForAny(const std::vector<ConversionJob>& jobs, const Completion& finish) {
  std::vector<HANDLE> watched;
  Clock::time_point nearest = Clock::time_point::max();
  for (const Worker& worker : workers_) {
    if (worker.job) {
      watched.push_back(static_cast<HANDLE>(worker.process));
      nearest = std::min(nearest, worker.deadline);
    }
  }
  if (InterruptWakeEvent() != nullptr) {
    watched.push_back(static_cast<HANDLE>(InterruptWakeEvent()));
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nearest - Clock::now()).count();
  const auto timeout_ms = static_cast<DWORD>(std::clamp<decltype(wait)>(wait, 0, INFINITE - 1));
  (void)WaitForMultipleObjects(static_cast<DWORD>(watched.size()), watched.data(), FALSE, timeout_ms);
  if (InterruptSignal() != 0) {
    return false;
  }
  for (Worker& worker : workers_) {
    if (worker.job && WaitForSingleObject(static_cast<HANDLE>(worker.process), 0) == WAIT_OBJECT_0) {
      Finish(&worker, jobs, finish);
    }
  }
  const Clock::time_point now = Clock::now();
  for (Worker& worker : workers_) {
    if (!worker.job || now < worker.deadline) {
      continue;
    }
    const std::size_t job_index = *worker.job;
    (void)TerminateProcess(static_cast<HANDLE>(worker.process), 1);
    (void)WaitForSingleObject(static_cast<HANDLE>(worker.process), INFINITE);
    Release(&worker);
    finish(job_index,
           FailedSource(jobs[job_index], "timed out after " + std::to_string(time_limit_.count()) + " s"));
  }
  return true;
}

}  // namespace tarvelo::cli
