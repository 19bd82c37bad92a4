// Windows: an exception no handler catches (an access violation in the decoder, in
// any thread) completes the crash line with "exception 0x...)" and ends the tool;
// a watchdog thread writes the time-limit line and does the same.
#include <windows.h>

#include "in_process_guard.h"

namespace tarvelo::cli {
namespace {

// Prepared before the conversion starts: the crash filter runs in whatever state
// the crash left, so it only writes and ends the process.
std::string g_crash_prefix;   // "tarvelo-convert: FILE: decoder crashed ("
std::string g_timeout_line;   // "tarvelo-convert: FILE: timed out after N s\n"
HANDLE g_finished = nullptr;  // set when the conversion returns
HANDLE g_watchdog = nullptr;
DWORD g_time_limit_ms = INFINITE;
LPTOP_LEVEL_EXCEPTION_FILTER g_previous_filter = nullptr;

void WriteToStandardError(const char* text, std::size_t length) noexcept {
  const HANDLE error_output = GetStdHandle(STD_ERROR_HANDLE);
  while (length > 0 && error_output != nullptr && error_output != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    if (WriteFile(error_output, text, static_cast<DWORD>(length), &written, nullptr) == 0 || written == 0) {
      return;
    }
    text += written;
    length -= written;
  }
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* exception) {
  static const char kDigits[] = "0123456789ABCDEF";
  const DWORD code = exception->ExceptionRecord->ExceptionCode;
  char cause[] = "exception 0x00000000)\n";
  for (int i = 0; i < 8; ++i) {
    cause[12 + i] = kDigits[(code >> (28 - 4 * i)) & 0xFU];
  }
  WriteToStandardError(g_crash_prefix.data(), g_crash_prefix.size());
  WriteToStandardError(cause, sizeof cause - 1);
  TerminateProcess(GetCurrentProcess(), 1);
  return EXCEPTION_EXECUTE_HANDLER;
}

DWORD WINAPI Watchdog(void* /*unused*/) {
  if (WaitForSingleObject(g_finished, g_time_limit_ms) == WAIT_TIMEOUT) {
    WriteToStandardError(g_timeout_line.data(), g_timeout_line.size());
    TerminateProcess(GetCurrentProcess(), 1);
  }
  return 0;
}

}  // namespace

void ArmInProcessGuard(const std::string& crash_prefix, const std::string& timeout_line,
                       std::optional<std::chrono::seconds> time_limit) {
  g_crash_prefix = crash_prefix;
  g_timeout_line = timeout_line;
  // No error dialog (nor a debugger, under Wine): the filter reports the crash.
  (void)SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  g_previous_filter = SetUnhandledExceptionFilter(OnCrash);
  if (time_limit) {
    g_time_limit_ms = static_cast<DWORD>(time_limit->count()) * 1000U;
    g_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_watchdog = g_finished != nullptr ? CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr) : nullptr;
  }
}

void DisarmInProcessGuard() {
  if (g_watchdog != nullptr) {
    (void)SetEvent(g_finished);
    (void)WaitForSingleObject(g_watchdog, INFINITE);
    CloseHandle(g_watchdog);
    g_watchdog = nullptr;
  }
  if (g_finished != nullptr) {
    CloseHandle(g_finished);
    g_finished = nullptr;
  }
  (void)SetUnhandledExceptionFilter(g_previous_filter);
}

}  // namespace tarvelo::cli
