#pragma once

namespace tarvelo::cli {

// A batch that is interrupted (SIGINT, SIGTERM) stops handing out files, stops the
// workers (a file that was being written leaves nothing behind) and reports what
// was and was not done, instead of dying with the summary unsaid.
//
// Installs the handlers: they record the signal and make InterruptWakeFd()
// readable, so that a poll() that includes it returns at once. They are restarted
// system calls (SA_RESTART), so the library's own calls are not disturbed; forked
// workers inherit them and go on until the tool stops them. Returns false when the
// wake-up pipe could not be made (the handlers then are not installed).
bool InstallInterruptHandlers();

// The signal that interrupted the run, 0 while none has.
int InterruptSignal();

// Read end of the wake-up pipe, -1 before InstallInterruptHandlers.
int InterruptWakeFd();

// Empties the wake-up pipe (a worker that received the signal also writes to it).
void DrainInterruptWakeFd();

#if defined(_WIN32)
// Windows has no signals: a console control handler (Ctrl-C, Ctrl-Break: SIGINT;
// the console closing: SIGTERM) records the interrupt and sets this manual-reset
// event, which the worker pool waits on. Null before InstallInterruptHandlers.
void* InterruptWakeEvent();
#endif

}  // namespace tarvelo::cli
