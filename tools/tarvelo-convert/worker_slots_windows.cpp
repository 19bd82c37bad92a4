// Windows: a slot's worker is the tool itself, started with CreateProcessW in its
// hidden worker mode and kept for run after run of files, as on POSIX systems. A
// process start costs there many times a small file's conversion, so it happens
// once per slot, not once per file. Runs go to the worker's standard input in the
// frames of worker_protocol.h; its reply board is a file mapping and the end of a
// run is an event, both handed to the worker with DuplicateHandle and named in a
// first frame on its input, so no other process inherits them. The tool waits on
// every busy worker's event and process and on the interrupt event at once.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "fd_io.h"
#include "interrupt.h"
#include "windows_text.h"
#include "worker_process.h"
#include "worker_slots.h"

namespace tarvelo::cli {
namespace {

// WaitForMultipleObjects waits on at most 64 handles: two per busy worker and the
// interrupt event.
constexpr std::size_t kMaxSlots = (MAXIMUM_WAIT_OBJECTS - 1) / 2;
// Exit codes from here up are exception codes: the process died of an exception
// no handler caught (0xC0000005 is an access violation).
constexpr DWORD kFirstExceptionCode = 0xC0000000;

// The first frame on a worker's input: its board's mapping and its run-done
// event, as handle values in the worker's process.
struct WorkerHandles {
  uint64_t board_mapping;
  uint64_t run_done;
};

struct Slot {
  HANDLE process = nullptr;  // null: the slot has no process
  int requests = -1;         // the write end of the worker's standard input
  HANDLE mapping = nullptr;
  ReplyBoard* board = nullptr;
  HANDLE run_done = nullptr;   // manual-reset: the tool resets it before each run
  std::size_t run_length = 0;  // 0: no run is being converted
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

bool Signalled(HANDLE handle) { return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0; }

// Ends the worker (killing it when asked), waits for it and empties the slot.
// Returns how it ended; `replies` gets the replies it had posted for its run.
WorkerSlots::WorkerEnd Stop(Slot* slot, bool kill_first, std::vector<ConversionReply>* replies = nullptr) {
  if (slot->requests >= 0) {
    (void)_close(slot->requests);
  }
  if (kill_first) {
    (void)TerminateProcess(slot->process, 1);
  }
  (void)WaitForSingleObject(slot->process, INFINITE);
  DWORD exit_code = 0;
  (void)GetExitCodeProcess(slot->process, &exit_code);
  if (replies != nullptr && slot->run_length > 0) {
    bool malformed = false;
    *replies = ReadBoardReplies(*slot->board, slot->run_length, &malformed);
  }
  (void)UnmapViewOfFile(slot->board);
  CloseHandle(slot->mapping);
  CloseHandle(slot->run_done);
  CloseHandle(slot->process);
  *slot = Slot{};
  return EndOf(exit_code);
}

// The board and the run-done event of a new worker; false with the reason.
bool MakeBoard(Slot* slot, std::string* reason) {
  slot->mapping =
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(ReplyBoard), nullptr);
  if (slot->mapping != nullptr) {
    slot->board = static_cast<ReplyBoard*>(MapViewOfFile(slot->mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  }
  if (slot->board != nullptr) {
    slot->run_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  if (slot->run_done == nullptr) {
    *reason = SystemMessage(GetLastError());
    if (slot->board != nullptr) {
      (void)UnmapViewOfFile(slot->board);
    }
    if (slot->mapping != nullptr) {
      CloseHandle(slot->mapping);
    }
    *slot = Slot{};
    return false;
  }
  return true;
}

// Hands the worker its board and event: duplicated into its process, named in
// the first frame on its input.
bool SendHandles(const Slot& slot) {
  HANDLE mapping = nullptr;
  HANDLE run_done = nullptr;
  const HANDLE self = GetCurrentProcess();
  if (DuplicateHandle(self, slot.mapping, slot.process, &mapping, 0, FALSE, DUPLICATE_SAME_ACCESS) == 0 ||
      DuplicateHandle(self, slot.run_done, slot.process, &run_done, 0, FALSE, DUPLICATE_SAME_ACCESS) == 0) {
    return false;
  }
  const WorkerHandles handles{reinterpret_cast<uintptr_t>(mapping), reinterpret_cast<uintptr_t>(run_done)};
  return WriteFully(slot.requests, &handles, sizeof handles);
}

// Starts a worker with its pipe, board and event; false with the reason when it
// cannot.
bool Start(Slot* slot, std::string* reason) {
  static const std::wstring tool = ToolPath();
  if (tool.empty()) {
    *reason = SystemMessage(GetLastError());
    return false;
  }
  if (!MakeBoard(slot, reason)) {
    return false;
  }
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE request_read = nullptr;
  HANDLE request_write = nullptr;
  if (CreatePipe(&request_read, &request_write, &inheritable, 0) == 0) {
    *reason = SystemMessage(GetLastError());
    Stop(slot, false);
    return false;
  }
  // The tool's own end stays out of every worker, or a worker would hold another's
  // input open.
  (void)SetHandleInformation(request_write, HANDLE_FLAG_INHERIT, 0);
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
  startup.hStdOutput = nullptr;
  startup.hStdError = error_output;
  std::wstring command_line = L"\"" + tool + L"\" " + WideFromUtf8(kWorkerArgument);
  PROCESS_INFORMATION process{};
  // A process group of its own: the console's Ctrl-C goes to the tool, which
  // reports and then stops its workers, instead of killing them under it.
  const BOOL started = CreateProcessW(tool.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                      CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &process);
  const DWORD start_failure = GetLastError();
  CloseHandle(request_read);
  if (error_output != nullptr) {
    CloseHandle(error_output);
  }
  slot->requests = _open_osfhandle(reinterpret_cast<intptr_t>(request_write), _O_WRONLY | _O_BINARY);
  if (slot->requests < 0) {
    CloseHandle(request_write);
  }
  if (started == 0) {
    *reason = SystemMessage(start_failure);
    if (slot->requests >= 0) {
      (void)_close(slot->requests);
    }
    slot->requests = -1;
    (void)UnmapViewOfFile(slot->board);
    CloseHandle(slot->mapping);
    CloseHandle(slot->run_done);
    *slot = Slot{};
    return false;
  }
  CloseHandle(process.hThread);
  slot->process = process.hProcess;
  if (slot->requests < 0 || !SendHandles(*slot)) {
    *reason = SystemMessage(GetLastError());
    Stop(slot, true);
    return false;
  }
  return true;
}

}  // namespace

void RunWindowsWorker() {
  WorkerHandles handles{};
  if (!ReadFully(0, &handles, sizeof handles)) {
    std::_Exit(0);
  }
  const auto mapping = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handles.board_mapping));
  const auto run_done = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handles.run_done));
  auto* board =
      static_cast<ReplyBoard*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(ReplyBoard)));
  if (board == nullptr) {
    std::_Exit(2);
  }
  RunWorker({0, board, [run_done](uint32_t /*replies*/) { return SetEvent(run_done) != 0; }});
}

struct WorkerSlots::Platform {
  std::vector<Slot> slots;
};

WorkerSlots::WorkerSlots(std::size_t count) : platform_(std::make_unique<Platform>()) {
  platform_->slots.resize(std::clamp<std::size_t>(count, 1, kMaxSlots));
}

WorkerSlots::~WorkerSlots() {
  // Idle workers see the end of their input and exit; busy ones are killed.
  for (Slot& slot : platform_->slots) {
    if (slot.process != nullptr) {
      Stop(&slot, slot.run_length > 0);
    }
  }
}

std::size_t WorkerSlots::size() const { return platform_->slots.size(); }

WorkerSlots::SendResult WorkerSlots::Send(std::size_t index, const std::vector<ConversionRequest>& run) {
  Slot& slot = platform_->slots[index];
  SendResult result;
  if (slot.process == nullptr && !Start(&slot, &result.reason)) {
    result.kind = SendResult::Kind::kCannotStart;
    return result;
  }
  ClearBoard(slot.board);
  (void)ResetEvent(slot.run_done);
  if (!SendRun(slot.requests, run)) {
    // The worker died while idle (killed from outside): the run never reached it.
    result.kind = SendResult::Kind::kLost;
    result.end = Stop(&slot, true);
    return result;
  }
  slot.run_length = run.size();
  return result;
}

std::vector<std::size_t> WorkerSlots::WaitForAny(Clock::time_point until) {
  std::vector<HANDLE> watched;
  for (const Slot& slot : platform_->slots) {
    if (slot.run_length > 0) {
      watched.push_back(slot.run_done);
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
    const Slot& slot = platform_->slots[i];
    if (slot.run_length > 0 && (Signalled(slot.run_done) || Signalled(slot.process))) {
      to_collect.push_back(i);
    }
  }
  return to_collect;
}

WorkerSlots::Collected WorkerSlots::Collect(std::size_t index) {
  Slot& slot = platform_->slots[index];
  Collected collected;
  if (Signalled(slot.run_done)) {
    (void)ResetEvent(slot.run_done);
    const uint32_t posted = slot.board->replies.load(std::memory_order_acquire);
    if (!ReadFinishedRun(*slot.board, slot.run_length, posted, &collected.replies)) {
      collected.kind = Collected::Kind::kMalformed;
      Stop(&slot, true);
      return collected;
    }
    collected.kind = Collected::Kind::kRunDone;
    slot.run_length = 0;
    return collected;
  }
  if (Signalled(slot.process)) {
    collected.kind = Collected::Kind::kLost;
    collected.end = Stop(&slot, false, &collected.replies);
  }
  return collected;
}

std::size_t WorkerSlots::RepliesPosted(std::size_t index) const {
  const Slot& slot = platform_->slots[index];
  return cli::RepliesPosted(*slot.board, slot.run_length);
}

void WorkerSlots::StopAfterCurrentFile(std::size_t index) {
  platform_->slots[index].board->stop_after_current.store(1, std::memory_order_release);
}

std::vector<ConversionReply> WorkerSlots::Kill(std::size_t index) {
  Slot& slot = platform_->slots[index];
  std::vector<ConversionReply> replies;
  if (slot.process != nullptr) {
    Stop(&slot, true, &replies);
  }
  return replies;
}

}  // namespace tarvelo::cli
