#pragma once

namespace tarvelo::cli {

// A batch that is interrupted (SIGINT, SIGTERM) stops handing out files, lets the
// files being converted finish for a bounded time, stops the workers left (a file
// that was being written leaves nothing behind) and reports what was and was not
// done, instead of dying with the summary unsaid (worker_pool.h).
//
// Installs the handlers: they record the signal and make InterruptWakeFd()
// readable, so that a poll() that includes it returns at once. They are restarted
// system calls (SA_RESTART), so the library's own calls are not disturbed. Forked
// workers inherit them and record nothing: an interrupt sent to the whole process
// group (Ctrl-C at a terminal) leaves a worker to finish its file and reply.
// Returns false when the wake-up pipe could not be made (the handlers then are not
// installed).
bool InstallInterruptHandlers();

// The signal that interrupted the run, 0 while none has.
int InterruptSignal();

// Read end of the wake-up pipe, -1 before InstallInterruptHandlers.
int InterruptWakeFd();

// Empties the wake-up pipe.
void DrainInterruptWakeFd();

#if defined(_WIN32)
// Windows has no signals: a console control handler (Ctrl-C, Ctrl-Break: SIGINT;
// the console closing: SIGTERM) records the interrupt and sets this auto-reset
// event, which the worker slots wait on: one wait sees it, as one poll() drains the
// pipe. Null before InstallInterruptHandlers.
void* InterruptWakeEvent();
#endif

}  // namespace tarvelo::cli
