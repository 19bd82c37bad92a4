#include "in_process_conversion.h"

#include <unistd.h>

#include <array>
#include <csignal>
#include <cstring>
#include <optional>
#include <string>

#include "failure_line.h"
#include "options.h"
#include "stdio_conversion.h"
#include "test_fault_hooks.h"

namespace tarvelo::cli {
namespace {

constexpr std::array kCrashSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// What the handlers write, prepared before the conversion starts: a handler may
// only use async-signal-safe calls.
std::string g_crash_prefix;  // "tarvelo-convert: FILE: decoder crashed (signal "
std::string g_timeout_line;  // "tarvelo-convert: FILE: timed out after N s\n"

void WriteAll(const char* text, size_t length) noexcept {
  while (length > 0) {
    const ssize_t written = write(STDERR_FILENO, text, length);
    if (written <= 0) {
      return;
    }
    text += written;
    length -= static_cast<size_t>(written);
  }
}

extern "C" void OnCrash(int signal_number) {
  char number[16];
  size_t length = 0;
  // Signal numbers are small and positive; written backwards, then reversed.
  for (auto value = static_cast<unsigned>(signal_number); length == 0 || value > 0; value /= 10) {
    number[length++] = static_cast<char>('0' + value % 10);
  }
  for (size_t i = 0; i < length / 2; ++i) {
    const char swap = number[i];
    number[i] = number[length - 1 - i];
    number[length - 1 - i] = swap;
  }
  WriteAll(g_crash_prefix.data(), g_crash_prefix.size());
  WriteAll(number, length);
  WriteAll(")\n", 2);
  _exit(1);
}

extern "C" void OnTimeLimit(int /*signal_number*/) {
  WriteAll(g_timeout_line.data(), g_timeout_line.size());
  _exit(1);
}

// A stack overflow in the decoder leaves no stack to run a handler on.
void UseAlternateSignalStack() {
  static std::array<char, size_t{64} * 1024> alternate_stack;
  stack_t stack{};
  stack.ss_sp = alternate_stack.data();
  stack.ss_size = alternate_stack.size();
  (void)sigaltstack(&stack, nullptr);
}

void Handle(int signal_number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_ONSTACK | SA_RESETHAND;
  (void)sigaction(signal_number, &action, nullptr);
}

void Restore(int signal_number) { (void)std::signal(signal_number, SIG_DFL); }

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
  g_crash_prefix = FailureLine(shown_source, "decoder crashed (signal ");
  g_crash_prefix.pop_back();  // the line's end comes after the number
  g_timeout_line = FailureLine(shown_source, "timed out after " + std::to_string(time_limit.count()) + " s");

  (void)std::signal(SIGPIPE, SIG_IGN);
  UseAlternateSignalStack();
  for (const int signal_number : kCrashSignals) {
    Handle(signal_number, OnCrash);
  }
  Handle(SIGALRM, OnTimeLimit);
  (void)alarm(static_cast<unsigned>(time_limit.count()));

  InjectTestFault(job.source);
  char detail[1024] = "";
  const TarveloStatus status =
      ConvertJob(job, source_bytes ? &*source_bytes : nullptr, detail, sizeof detail);

  (void)alarm(0);
  Restore(SIGALRM);
  for (const int signal_number : kCrashSignals) {
    Restore(signal_number);
  }
  return OutcomeOfStatus(job, status, detail);
}

}  // namespace tarvelo::cli
