#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

#include "run_report.h"

namespace tarvelo::cli {

// Converts files in worker processes (platform.h), so that a decoder that crashes
// or hangs on one file costs only that file, and records each job in `report`
// in the order they finish.
//
// Each of `worker_count` workers is started once and then holds the file it
// converts and, while many are left, up to 15 more, so that it never waits for the
// tool between files and the tool takes its replies a few at a time; replies bring
// it more. The tool keeps the clock itself: a file's time counts from when the
// tool saw the worker's previous reply, or from when it handed the file out to an
// idle worker, so a worker can stretch nothing beyond one time limit per file. A
// worker that dies fails the file it was converting with "decoder crashed (signal
// N)" (Windows: "exception 0x..."), one that exits or closes its channel with
// "worker process ended unexpectedly (...)", one still busy at the file's deadline
// is killed and fails it with "timed out after N s"; a fresh worker takes its
// place, and the file it held next goes back to be handed out again. A file counts
// as converted only when the worker says so and its output is in place.
//
// An interrupt (platform.h) ends the batch early: no file is handed out any more,
// the workers are told to skip the files they have not started, and the files
// being converted get kInterruptGraceSeconds (options.h) to finish, as a worker killed while it
// puts its output in place could leave a temporary file behind instead. Those that
// finish are recorded as usual; the rest are killed, and the files not completed
// are left to the caller.
//
// Not thread-safe; meant for a single-threaded tool.
void RunInWorkers(const std::vector<ConversionJob>& jobs, std::size_t worker_count,
                  std::chrono::seconds time_limit, RunReport* report);

}  // namespace tarvelo::cli
