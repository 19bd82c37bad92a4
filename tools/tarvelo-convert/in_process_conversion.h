#pragma once

#include <chrono>
#include <optional>

#include "conversion_job.h"

namespace tarvelo::cli {

// Converts a single file in the tool's own process: for one file a worker process
// would only add its start and end, which weigh most on small files
// (bench/RESULTS.md), and has no other files to protect.
//
// The outcome a user sees is the worker's. While the conversion runs, a crash
// (POSIX: SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT; Windows: an exception no handler
// catches; also in one of the library's threads) prints "decoder crashed (signal N)"
// or "(exception 0x...)" for the file and ends the tool with status 1; passing
// `time_limit` (none: no limit) prints "timed out after N s" and ends it the same
// way (platform.h). SIGPIPE is ignored, so a destination pipe whose reader
// went away fails the write.
ConversionOutcome ConvertInProcess(const ConversionJob& job, std::optional<std::chrono::seconds> time_limit);

}  // namespace tarvelo::cli
