#include <windows.h>

#include <csignal>

#include "interrupt.h"

namespace tarvelo::cli {
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

bool InstallInterruptHandlers() {
  if (g_wake != nullptr) {
    return true;
  }
  g_wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (g_wake == nullptr) {
    return false;
  }
  if (SetConsoleCtrlHandler(OnConsoleEvent, TRUE) == 0) {
    CloseHandle(g_wake);
    g_wake = nullptr;
    return false;
  }
  return true;
}

int InterruptSignal() { return static_cast<int>(InterlockedCompareExchange(&g_signal, 0, 0)); }

int InterruptWakeFd() { return -1; }

void DrainInterruptWakeFd() {}

void* InterruptWakeEvent() { return g_wake; }

}  // namespace tarvelo::cli
