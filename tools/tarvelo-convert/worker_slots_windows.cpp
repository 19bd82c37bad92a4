// Windows: a slot's worker is the tool itself, started with CreateProcessW in its
// hidden worker mode. The request goes to the worker's standard input and the
// reply comes back on its standard output, in the same frames as the POSIX
// workers' socket carries. Windows has no fork, and a process start costs there
// about what a file's conversion does, so the worker takes one request (its input
// is closed after it) and its exit, which the tool can wait on together with the
// other workers and the interrupt event, is the sign that its reply is complete.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "interrupt.h"
#include "windows_text.h"
#include "worker_process.h"
#include "worker_slots.h"

namespace tarvelo::cli {
namespace {

// WaitForMultipleObjects waits on at most 64 handles, one of them the interrupt event.
constexpr std::size_t kMaxSlots = MAXIMUM_WAIT_OBJECTS - 1;
// Larger than any reply frame, so that a worker never blocks writing its reply
// while the tool waits for it to end.
constexpr DWORD kReplyPipeBytes = 64 * 1024;
// Exit codes from here up are exception codes: the process died of an exception
// no handler caught (0xC0000005 is an access violation).
constexpr DWORD kFirstExceptionCode = 0xC0000000;

struct Slot {
  HANDLE process = nullptr;  // null: the slot has no process
  HANDLE replies = nullptr;  // read end of the worker's standard output
};

std::string SystemMessage(DWORD error) { return std::system_category().message(static_cast<int>(error)); }

std::wstring ToolPath() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length < path.size() ? length : 0);
  return path;
}

WorkerSlots::WorkerEnd EndOf(DWORD exit_code) {
  char text[48];
  if (exit_code >= kFirstExceptionCode) {
    (void)std::snprintf(text, sizeof text, "exception 0x%08lX", static_cast<unsigned long>(exit_code));
    return {true, text};
  }
  (void)std::snprintf(text, sizeof text, "exit status %lu", static_cast<unsigned long>(exit_code));
  return {false, text};
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

// Writes the request and closes the pipe: the worker sees the end of its requests.
bool WriteRequest(HANDLE pipe, const ConversionRequest& request) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(pipe), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(pipe);
    return false;
  }
  const bool sent = SendRequest(fd, request);
  (void)_close(fd);
  return sent;
}

void Release(Slot* slot) {
  CloseHandle(slot->process);
  CloseHandle(slot->replies);
  *slot = Slot{};
}

// Starts a worker with its pipes; false with the reason when it cannot. The
// request pipe's write end goes to `*request_write`.
bool Start(Slot* slot, HANDLE* request_write, std::string* reason) {
  static const std::wstring tool = ToolPath();
  if (tool.empty()) {
    *reason = SystemMessage(GetLastError());
    return false;
  }
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE request_read = nullptr;
  HANDLE reply_read = nullptr;
  HANDLE reply_write = nullptr;
  if (CreatePipe(&request_read, request_write, &inheritable, 0) == 0) {
    *reason = SystemMessage(GetLastError());
    return false;
  }
  if (CreatePipe(&reply_read, &reply_write, &inheritable, kReplyPipeBytes) == 0) {
    *reason = SystemMessage(GetLastError());
    CloseHandle(request_read);
    CloseHandle(*request_write);
    return false;
  }
  // The tool's own ends stay out of every worker, or a worker would hold another's
  // pipe open.
  (void)SetHandleInformation(*request_write, HANDLE_FLAG_INHERIT, 0);
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
    *reason = SystemMessage(start_failure);
    CloseHandle(*request_write);
    CloseHandle(reply_read);
    return false;
  }
  CloseHandle(process.hThread);
  slot->process = process.hProcess;
  slot->replies = reply_read;
  return true;
}

}  // namespace

struct WorkerSlots::Platform {
  std::vector<Slot> slots;
};

WorkerSlots::WorkerSlots(std::size_t count) : platform_(std::make_unique<Platform>()) {
  platform_->slots.resize(std::clamp<std::size_t>(count, 1, kMaxSlots));
}

WorkerSlots::~WorkerSlots() {
  for (std::size_t i = 0; i < platform_->slots.size(); ++i) {
    Kill(i);
  }
}

std::size_t WorkerSlots::size() const { return platform_->slots.size(); }

WorkerSlots::SendResult WorkerSlots::Send(std::size_t index, const ConversionRequest& request) {
  SendResult result;
  HANDLE request_write = nullptr;
  if (!Start(&platform_->slots[index], &request_write, &result.reason)) {
    result.kind = SendResult::Kind::kCannotStart;
    return result;
  }
  // A worker that dies before reading its request fails the write; its exit code
  // then tells why, when its end is collected.
  (void)WriteRequest(request_write, request);
  return result;
}

std::vector<std::size_t> WorkerSlots::WaitForAny(Clock::time_point until) {
  std::vector<HANDLE> watched;
  for (const Slot& slot : platform_->slots) {
    if (slot.process != nullptr) {
      watched.push_back(slot.process);
    }
  }
  if (InterruptWakeEvent() != nullptr) {
    watched.push_back(static_cast<HANDLE>(InterruptWakeEvent()));
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
  const auto timeout_ms = static_cast<DWORD>(std::clamp<decltype(wait)>(wait, 0, INFINITE - 1));
  (void)WaitForMultipleObjects(static_cast<DWORD>(watched.size()), watched.data(), FALSE, timeout_ms);
  std::vector<std::size_t> to_collect;
  for (std::size_t i = 0; i < platform_->slots.size(); ++i) {
    const HANDLE process = platform_->slots[i].process;
    if (process != nullptr && WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
      to_collect.push_back(i);
    }
  }
  return to_collect;
}

WorkerSlots::Collected WorkerSlots::Collect(std::size_t index) {
  Slot& slot = platform_->slots[index];
  Collected collected;
  DWORD exit_code = 0;
  (void)GetExitCodeProcess(slot.process, &exit_code);
  const std::string received = ReadReply(slot.replies);
  Release(&slot);
  if (exit_code >= kFirstExceptionCode || received.empty()) {
    collected.kind = Collected::Kind::kLost;
    collected.end = EndOf(exit_code);
    return collected;
  }
  collected.kind = ParseReply(received, &collected.reply) == ReplyParse::kComplete
                       ? Collected::Kind::kReply
                       : Collected::Kind::kMalformed;
  return collected;
}

void WorkerSlots::Kill(std::size_t index) {
  Slot& slot = platform_->slots[index];
  if (slot.process != nullptr) {
    (void)TerminateProcess(slot.process, 1);
    (void)WaitForSingleObject(slot.process, INFINITE);
    Release(&slot);
  }
}

}  // namespace tarvelo::cli
