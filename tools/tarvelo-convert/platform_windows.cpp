// Windows: a worker is the tool itself, started with CreateProcessW in its hidden
// worker mode on one end of a named pipe, its standard input; the tool reads the
// other end with overlapped reads and waits on their events, the workers' processes
// and the interrupt event at once. Names and arguments are UTF-16 on the system's
// side, UTF-8 in the tool.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <system_error>

#include "batch_plan.h"
#include "conversion.h"
#include "platform.h"

namespace tarvelo::cli {
namespace {

// The hidden only argument that starts the tool as a worker.
constexpr const wchar_t* kWorkerArgument = L"--tarvelo-worker-process";
// Exit codes from here up are exception codes: the process died of an exception
// no handler caught (0xC0000005 is an access violation).
constexpr DWORD kFirstExceptionCode = 0xC0000000;

// A lone surrogate in a wide name becomes U+FFFD.
std::string Utf8FromWide(const wchar_t* wide) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) {
    return {};
  }
  std::string utf8(static_cast<std::size_t>(length), '\0');
  (void)WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), length, nullptr, nullptr);
  utf8.pop_back();  // the terminating NUL
  return utf8;
}

std::string SystemMessage(DWORD error) { return std::system_category().message(static_cast<int>(error)); }

}  // namespace

std::vector<std::string> ToolArguments(int /*argc*/, char** /*argv*/) {
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide != nullptr && count == 2 && std::wcscmp(wide[1], kWorkerArgument) == 0) {
    // A crashing decoder ends the worker at once, with the exception's code as its
    // exit code, without an error dialog or a debugger (Wine starts one whatever
    // the error mode) that would hold it until the time limit.
    ArmCrashGuard({});
    RunWorker();
  }
  for (int i = 1; wide != nullptr && i < count; ++i) {
    arguments.push_back(Utf8FromWide(wide[i]));
  }
  LocalFree(static_cast<HLOCAL>(wide));  // ignores a null
  // Image bytes pass through standard input and output unaltered.
  (void)_setmode(0, _O_BINARY);
  (void)_setmode(1, _O_BINARY);
  return arguments;
}

std::size_t CoreCount() {
  const DWORD online = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

int OpenForReading(const std::string& path) { return _wopen(PathOf(path).c_str(), _O_RDONLY | _O_BINARY); }

namespace {
std::string g_output_directory;  // with its "/"
}  // namespace

std::string HoldOutputDirectory(const std::string& path) {
  // Held for the rest of the run without delete sharing: no one can rename it.
  const HANDLE held =
      CreateFileW(PathOf(path).c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    errno = ENOENT;
    return {};
  }
  g_output_directory = path + "/";
  return g_output_directory;
}

int MakeDirectoriesBelow(const std::string& relative) {
  for (std::size_t end = relative.find('/');; end = relative.find('/', end + 1)) {
    const std::filesystem::path made = PathOf(g_output_directory + relative.substr(0, end));
    (void)CreateDirectoryW(made.c_str(), nullptr);
    const DWORD attributes = GetFileAttributesW(made.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return ENOENT;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return ENOTDIR;  // a file or a link is in its place
    }
    if (end == std::string::npos) {
      return 0;
    }
  }
}

void EndAtBrokenPipe() { std::_Exit(1); }

// ---- the guard of a conversion in the tool's own process

namespace {

// Prepared before the conversion starts: the crash filter runs in whatever state
// the crash left, so it only writes and ends the process.
std::string g_crash_prefix;  // "tarvelo-convert: FILE: decoder crashed ("

// A blocking write of all of `text`: standard error, or the worker's pipe to the tool.
bool WriteAll(const HANDLE to, const char* text, std::size_t length) noexcept {
  while (length > 0 && to != nullptr && to != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    if (WriteFile(to, text, static_cast<DWORD>(length), &written, nullptr) == 0 || written == 0) {
      return false;
    }
    text += written;
    length -= written;
  }
  return length == 0;
}

void WriteToStandardError(const char* text, std::size_t length) noexcept {
  (void)WriteAll(GetStdHandle(STD_ERROR_HANDLE), text, length);
}

// In a worker (no prefix) the exception's code is the exit code, for the tool to report.
LONG WINAPI OnCrash(EXCEPTION_POINTERS* exception) {
  static const char kDigits[] = "0123456789ABCDEF";
  const DWORD code = exception->ExceptionRecord->ExceptionCode;
  char cause[] = "exception 0x00000000)\n";
  for (int i = 0; i < 8; ++i) {
    cause[12 + i] = kDigits[(code >> (28 - 4 * i)) & 0xFU];
  }
  if (!g_crash_prefix.empty()) {
    WriteToStandardError(g_crash_prefix.data(), g_crash_prefix.size());
    WriteToStandardError(cause, sizeof cause - 1);
  }
  TerminateProcess(GetCurrentProcess(), g_crash_prefix.empty() ? code : 1);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void ArmCrashGuard(const std::string& crash_prefix) {
  g_crash_prefix = crash_prefix;
  // No error dialog (nor a debugger, under Wine): the filter reports the crash.
  (void)SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  (void)SetUnhandledExceptionFilter(OnCrash);
}

void EndWithLine(const std::string& line) {
  WriteToStandardError(line.data(), line.size());
  for (;;) {
    // Not ExitProcess: the DLLs' detach code could wait on a lock a thread it ended held.
    (void)TerminateProcess(GetCurrentProcess(), 1);
  }
}

// ---- interrupts

namespace {

volatile LONG g_signal = 0;
HANDLE g_wake = nullptr;

// Runs on a thread of its own that the system starts. Ctrl-C and Ctrl-Break are
// the console's interrupt; closing the console or logging off end the tool as
// SIGTERM would elsewhere.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  const LONG signal_number = (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) ? SIGINT : SIGTERM;
  (void)InterlockedCompareExchange(&g_signal, signal_number, 0);
  (void)SetEvent(g_wake);
  // Returning TRUE keeps the tool alive to report; for a closing console the
  // system ends it a few seconds later regardless.
  return TRUE;
}

}  // namespace

void InstallInterruptHandlers() {
  if (g_wake == nullptr && (g_wake = CreateEventW(nullptr, FALSE, FALSE, nullptr)) != nullptr &&
      SetConsoleCtrlHandler(OnConsoleEvent, TRUE) == 0) {
    CloseHandle(g_wake);
    g_wake = nullptr;
  }
}

int InterruptSignal() { return static_cast<int>(InterlockedCompareExchange(&g_signal, 0, 0)); }

// ---- worker processes

struct Worker {
  HANDLE process = nullptr;
  HANDLE pipe = INVALID_HANDLE_VALUE;  // the tool's end, overlapped
  OVERLAPPED read{};                   // the read in flight, with its event
  HANDLE written = nullptr;            // the event of a write
  bool reading = false;                // a read is in flight
  bool closed = false;                 // the channel is closed (a read failed)
  DWORD got = 0;                       // bytes read and not yet received
  char buffer[4096] = {};
};

namespace {

// WaitForMultipleObjects waits on at most 64 handles: two per busy worker and the
// interrupt event.
constexpr std::size_t kMaxWorkers = (MAXIMUM_WAIT_OBJECTS - 1) / 2;

std::wstring ToolPath() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length < path.size() ? length : 0);
  return path;
}

// Starts a read when none is in flight and none waits to be received, and sees
// whether the one in flight is done; without waiting.
void Poll(Worker* worker) {
  if (worker->closed || worker->got > 0) {
    return;
  }
  DWORD got = 0;
  if (!worker->reading) {
    if (ReadFile(worker->pipe, worker->buffer, sizeof worker->buffer, &got, &worker->read) != 0) {
      worker->got = got;
    } else if (GetLastError() == ERROR_IO_PENDING) {
      worker->reading = true;
    } else {
      worker->closed = true;
    }
    return;
  }
  if (GetOverlappedResult(worker->pipe, &worker->read, &got, FALSE) != 0) {
    worker->reading = false;
    worker->got = got;
  } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
    worker->reading = false;
    worker->closed = true;
  }
}

// Ends the read in flight, if any, and closes the tool's end.
void ClosePipe(Worker* worker) {
  if (worker->reading) {
    DWORD ignored = 0;
    (void)CancelIoEx(worker->pipe, &worker->read);
    (void)GetOverlappedResult(worker->pipe, &worker->read, &ignored, TRUE);
    worker->reading = false;
  }
  if (worker->pipe != INVALID_HANDLE_VALUE) {
    CloseHandle(worker->pipe);
    worker->pipe = INVALID_HANDLE_VALUE;
  }
}

void Free(Worker* worker) {
  ClosePipe(worker);
  for (const HANDLE handle : {worker->read.hEvent, worker->written, worker->process}) {
    if (handle != nullptr) {
      CloseHandle(handle);
    }
  }
  delete worker;
}

// The pipe between the tool and a new worker; the worker's end is inheritable. A
// new pipe listens: opening its client end connects it, with no ConnectNamedPipe.
HANDLE MakePipe(Worker* worker) {
  static unsigned serial = 0;
  const std::wstring name = L"\\\\.\\pipe\\tarvelo-convert-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(serial++);
  worker->pipe = CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, sizeof worker->buffer,
      sizeof worker->buffer, 0, nullptr);
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE client = worker->pipe == INVALID_HANDLE_VALUE
                            ? INVALID_HANDLE_VALUE
                            : CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inheritable,
                                          OPEN_EXISTING, 0, nullptr);
  return client == INVALID_HANDLE_VALUE ? nullptr : client;
}

}  // namespace

std::size_t MaxWorkers() { return kMaxWorkers; }

Worker* StartWorker(std::string* reason) {
  static const std::wstring tool = ToolPath();
  auto* worker = new Worker;
  worker->read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  worker->written = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const HANDLE client = tool.empty() || worker->read.hEvent == nullptr || worker->written == nullptr
                            ? nullptr
                            : MakePipe(worker);
  if (client == nullptr) {
    *reason = SystemMessage(GetLastError());
    Free(worker);
    return nullptr;
  }
  HANDLE error_output = nullptr;
  const HANDLE own_error = GetStdHandle(STD_ERROR_HANDLE);
  if (own_error != nullptr && own_error != INVALID_HANDLE_VALUE) {
    (void)DuplicateHandle(GetCurrentProcess(), own_error, GetCurrentProcess(), &error_output, 0, TRUE,
                          DUPLICATE_SAME_ACCESS);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = client;
  startup.hStdOutput = nullptr;
  startup.hStdError = error_output;
  std::wstring command_line = L"\"" + tool + L"\" " + kWorkerArgument;
  PROCESS_INFORMATION process{};
  // A process group of its own: the console's Ctrl-C goes to the tool, which
  // reports and then stops its workers, instead of killing them under it. The
  // worker's end of the pipe and the error output are the only handles made
  // inheritable, and only until the worker has them.
  const BOOL started = CreateProcessW(tool.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                      CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &process);
  const DWORD start_failure = GetLastError();
  CloseHandle(client);
  if (error_output != nullptr) {
    CloseHandle(error_output);
  }
  if (started == 0) {
    *reason = SystemMessage(start_failure);
    Free(worker);
    return nullptr;
  }
  CloseHandle(process.hThread);
  worker->process = process.hProcess;
  return worker;
}

bool SendToWorker(Worker* worker, const std::string& bytes) {
  OVERLAPPED write{};
  write.hEvent = worker->written;
  DWORD put = 0;
  const auto size = static_cast<DWORD>(bytes.size());
  if (WriteFile(worker->pipe, bytes.data(), size, nullptr, &write) == 0 &&
      GetLastError() != ERROR_IO_PENDING) {
    return false;
  }
  return GetOverlappedResult(worker->pipe, &write, &put, TRUE) != 0 && put == size;
}

void WaitForWorkers(const std::vector<Worker*>& workers, int timeout_ms) {
  std::vector<HANDLE> watched;
  watched.reserve(2 * workers.size() + 1);
  for (Worker* worker : workers) {
    Poll(worker);
    if (worker->got > 0 || worker->closed) {
      return;
    }
    watched.push_back(worker->read.hEvent);
    watched.push_back(worker->process);
  }
  if (g_wake != nullptr) {
    watched.push_back(g_wake);
  }
  (void)WaitForMultipleObjects(static_cast<DWORD>(watched.size()), watched.data(), FALSE,
                               static_cast<DWORD>(timeout_ms));
}

Received ReceiveFromWorker(Worker* worker, std::string* bytes) {
  Poll(worker);
  if (worker->got > 0) {
    bytes->append(worker->buffer, worker->got);
    worker->got = 0;
    return Received::kSome;
  }
  return worker->closed ? Received::kClosed : Received::kNothing;
}

bool WorkerExited(Worker* worker) { return WaitForSingleObject(worker->process, 0) == WAIT_OBJECT_0; }

WorkerEnd EndWorker(Worker* worker, bool kill) {
  ClosePipe(worker);
  if (kill && !WorkerExited(worker)) {
    (void)TerminateProcess(worker->process, 1);
  }
  (void)WaitForSingleObject(worker->process, INFINITE);
  DWORD code = 0;
  (void)GetExitCodeProcess(worker->process, &code);
  Free(worker);
  char text[48];
  const bool crashed = code >= kFirstExceptionCode;
  (void)std::snprintf(text, sizeof text, crashed ? "exception 0x%08lX" : "exit status %lu",
                      static_cast<unsigned long>(code));
  return {crashed, text};
}

std::size_t ReadFromTool(char* buffer, std::size_t size, bool wait) {
  const HANDLE channel = GetStdHandle(STD_INPUT_HANDLE);
  DWORD available = 0;
  if (!wait && (PeekNamedPipe(channel, nullptr, 0, nullptr, &available, nullptr) == 0 || available == 0)) {
    return 0;
  }
  DWORD got = 0;
  const auto wanted = static_cast<DWORD>(wait ? size : std::min<std::size_t>(size, available));
  return ReadFile(channel, buffer, wanted, &got, nullptr) != 0 ? got : 0;
}

bool WriteToTool(const std::string& bytes) {
  return WriteAll(GetStdHandle(STD_INPUT_HANDLE), bytes.data(), bytes.size());
}

}  // namespace tarvelo::cli
