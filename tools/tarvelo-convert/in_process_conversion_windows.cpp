// Windows: the single conversion's guards. An exception no handler catches (an
// access violation in the decoder, in any thread) prints "decoder crashed
// (exception 0x...)" and ends the tool with status 1; a watchdog thread does the
// same with "timed out after N s" when the time limit passes.
#include <windows.h>

#include <optional>
#include <string>

#include "failure_line.h"
#include "in_process_conversion.h"
#include "options.h"
#include "stdio_conversion.h"
#include "test_fault_hooks.h"

namespace tarvelo::cli {
namespace {

// Prepared before the conversion starts: the crash filter runs in whatever state
// the crash left, so it only writes and ends the process.
std::string g_crash_prefix;   // "tarvelo-convert: FILE: decoder crashed (exception "
std::string g_timeout_line;   // "tarvelo-convert: FILE: timed out after N s\n"
HANDLE g_finished = nullptr;  // set when the conversion returns
DWORD g_time_limit_ms = INFINITE;

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
  char number[] = "0x00000000)\n";
  for (int i = 0; i < 8; ++i) {
    number[2 + i] = kDigits[(code >> (28 - 4 * i)) & 0xFU];
  }
  WriteToStandardError(g_crash_prefix.data(), g_crash_prefix.size());
  WriteToStandardError(number, sizeof number - 1);
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

ConversionOutcome ConvertInProcess(const ConversionJob& job, std::chrono::seconds time_limit) {
  // Standard input is read before the time limit starts: a slow writer at the
  // other end of the pipe is no decoder that hangs.
  std::optional<std::string> source_bytes;
  if (job.source == kStdio) {
    std::string reason;
    source_bytes = ReadStandardInput(&reason);
    if (!source_bytes) {
      return FailedSource(job, reason);
    }
  }
  const std::string shown_source = DisplayedPath(job.source, true);
  g_crash_prefix = FailureLine(shown_source, "decoder crashed (exception ");
  g_crash_prefix.pop_back();  // the line's end comes after the code
  g_timeout_line = FailureLine(shown_source, "timed out after " + std::to_string(time_limit.count()) + " s");

  // No error dialog (nor a debugger, under Wine): the filter reports the crash.
  (void)SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  const LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(OnCrash);
  g_time_limit_ms = static_cast<DWORD>(time_limit.count()) * 1000U;
  g_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE watchdog = g_finished != nullptr ? CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr) : nullptr;

  InjectTestFault(job.source);
  char detail[1024] = "";
  const TarveloStatus status =
      ConvertJob(job, source_bytes ? &*source_bytes : nullptr, detail, sizeof detail);

  if (watchdog != nullptr) {
    (void)SetEvent(g_finished);
    (void)WaitForSingleObject(watchdog, INFINITE);
    CloseHandle(watchdog);
  }
  if (g_finished != nullptr) {
    CloseHandle(g_finished);
    g_finished = nullptr;
  }
  (void)SetUnhandledExceptionFilter(previous);
  return OutcomeOfStatus(job, status, detail);
}

}  // namespace tarvelo::cli
