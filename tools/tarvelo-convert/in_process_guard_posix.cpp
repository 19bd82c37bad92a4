#include <unistd.h>

#include <array>
#include <csignal>
#include <cstring>

#include "in_process_guard.h"

namespace tarvelo::cli {
namespace {

constexpr std::array kCrashSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// What the handlers write, prepared before the conversion starts: a handler may
// only use async-signal-safe calls.
std::string g_crash_prefix;  // "tarvelo-convert: FILE: decoder crashed ("
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
  WriteAll("signal ", 7);
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

void ArmInProcessGuard(const std::string& crash_prefix, const std::string& timeout_line,
                       std::optional<std::chrono::seconds> time_limit) {
  g_crash_prefix = crash_prefix;
  g_timeout_line = timeout_line;
  (void)std::signal(SIGPIPE, SIG_IGN);
  UseAlternateSignalStack();
  for (const int signal_number : kCrashSignals) {
    Handle(signal_number, OnCrash);
  }
  if (time_limit) {
    Handle(SIGALRM, OnTimeLimit);
    (void)alarm(static_cast<unsigned>(time_limit->count()));
  }
}

void DisarmInProcessGuard() {
  (void)alarm(0);
  Restore(SIGALRM);
  for (const int signal_number : kCrashSignals) {
    Restore(signal_number);
  }
}

}  // namespace tarvelo::cli
