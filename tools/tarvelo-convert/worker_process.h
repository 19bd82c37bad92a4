#pragma once

#include <cstdint>
#include <functional>

#include "reply_board.h"

namespace tarvelo::cli {

// How a worker process talks to the tool (worker_protocol.h).
struct WorkerChannels {
  int requests = -1;            // runs of files arrive here
  ReplyBoard* board = nullptr;  // each file's reply goes here
  // Tells the tool that a run is over, with the number of replies posted. False
  // when the tool cannot be told (it is gone).
  std::function<bool(uint32_t replies)> run_done;
};

// The body of a worker process: converts the files of one run after another, in
// process, through the library, and posts each file's status on the board. A run
// ends early when the tool asks it to (an interrupt). Returns never: the process
// ends when the tool closes its request channel.
[[noreturn]] void RunWorker(const WorkerChannels& channels);

#if defined(_WIN32)
// The hidden only argument that starts the tool as a worker (worker_slots_windows.cpp).
inline constexpr const char* kWorkerArgument = "--tarvelo-worker-process";
// The body of a worker started with kWorkerArgument: takes the handles of its
// reply board and run-done event from standard input, then runs RunWorker.
[[noreturn]] void RunWindowsWorker();
#endif

}  // namespace tarvelo::cli
