#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "TarveloConvert.h"

namespace tarvelo::cli {

// One file to convert.
struct ConversionJob {
  std::string source;
  std::string destination;
  TarveloLayout layout = TARVELO_LAYOUT_TGA;
  uint64_t max_pixels = 0;  // --max-pixels; 0: the library's cap
};

// What became of it. On failure `file` names the file the reason is about: the
// destination when it could not be created or written, the source otherwise.
struct ConversionOutcome {
  bool converted = false;
  std::string file;
  std::string reason;
};

// A file's conversion through the library, in the process that runs it: the tool
// itself for a single file, a worker for the files of a batch. The library decodes
// before it writes anything, so standard output (DEST '-') receives nothing from a
// source that does not decode. This file calls the tests' fault seam
// (test_fault_hooks.h), so each executable compiles it with its own hooks.

// Converts a single file in the tool's own process: for one file a worker process
// would only add its start and end, which weigh most on small files
// (bench/RESULTS.md), and has no other files to protect.
//
// The outcome a user sees is the worker's. While the conversion runs, a crash
// (POSIX: SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT; Windows: an exception no handler
// catches; also in one of the library's threads) prints "decoder crashed (signal N)"
// or "(exception 0x...)" for the file and ends the tool with status 1; passing
// `time_limit` (0: no limit) prints "timed out after N s" and ends it the same
// way. The limit starts after standard input is read (a slow writer at the other
// end of the pipe is no decoder that hangs) and never covers the final copy or
// rename: cut short, an in-place overwrite would leave a mixed file.
// SIGPIPE is ignored, so a destination pipe whose reader went away fails the write.
ConversionOutcome ConvertInProcess(const ConversionJob& job, std::chrono::seconds time_limit);

// The body of a worker process (platform.h): converts the files the tool sends,
// one after another, and replies to each (worker_messages.h); after a stop, it
// skips those it has not started. Returns never: the process ends when the tool
// closes the channel, or at a request it cannot read.
[[noreturn]] void RunWorker();

}  // namespace tarvelo::cli
