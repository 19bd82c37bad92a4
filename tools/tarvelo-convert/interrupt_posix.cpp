#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <initializer_list>

#include "interrupt.h"

namespace tarvelo::cli {
namespace {

volatile std::sig_atomic_t g_signal = 0;
int g_wake[2] = {-1, -1};
pid_t g_tool = -1;  // a forked worker inherits the handler but is not the tool

extern "C" void OnInterrupt(int signal_number) {
  const int saved = errno;
  if (getpid() == g_tool) {
    g_signal = signal_number;
    (void)!write(g_wake[1], "", 1);
  }
  errno = saved;
}

}  // namespace

bool InstallInterruptHandlers() {
  if (g_wake[0] >= 0) {
    return true;
  }
  if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    g_wake[0] = g_wake[1] = -1;
    return false;
  }
  g_tool = getpid();
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal_number : {SIGINT, SIGTERM}) {
    struct sigaction previous {};
    // A shell starts background jobs with SIGINT ignored; they stay deaf to it.
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      continue;
    }
    (void)sigaction(signal_number, &action, nullptr);
  }
  return true;
}

int InterruptSignal() { return g_signal; }

int InterruptWakeFd() { return g_wake[0]; }

void DrainInterruptWakeFd() {
  char bytes[64];
  while (g_wake[0] >= 0 && read(g_wake[0], bytes, sizeof bytes) > 0) {
  }
}

}  // namespace tarvelo::cli
