#pragma once

namespace tarvelo::cli {

// The body of a worker process: converts one requested file after another, in
// process, through the library, and answers each request with the library's status.
// Requests arrive on `requests` and replies leave on `replies` (one socket for
// both in a forked worker; standard input and output on Windows). Returns never:
// the process ends when the tool closes its end.
[[noreturn]] void RunWorker(int requests, int replies);

#if defined(_WIN32)
// The hidden first argument that starts the tool as a worker (worker_slots_windows.cpp).
inline constexpr const char* kWorkerArgument = "--tarvelo-worker-process";
#endif

}  // namespace tarvelo::cli
