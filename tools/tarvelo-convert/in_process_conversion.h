#pragma once

#include <chrono>

#include "conversion_job.h"

namespace tarvelo::cli {

// Converts a single file in the tool's own process: for one file a worker process
// would only add its start and end, which weigh most on small files
// (bench/RESULTS.md), and has no other files to protect.
//
// The outcome a user sees is the worker's. While the conversion runs, a crash
// (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, also in one of the library's threads)
// prints "decoder crashed (signal N)" for the file and ends the tool with status 1,
// on an alternate stack in case the stack itself overflowed; passing `time_limit`
// prints "timed out after N s" and ends it the same way. The handlers only write a
// line prepared beforehand and exit, so they work whatever state the crash left.
// SIGPIPE is ignored, so a destination pipe whose reader went away fails the write.
ConversionOutcome ConvertInProcess(const ConversionJob& job, std::chrono::seconds time_limit);

}  // namespace tarvelo::cli
