#pragma once

namespace tarvelo::cli {

// The body of a worker process (platform.h): converts the files the tool sends,
// one at a time, in process, through the library, and replies to each
// (worker_messages.h). Returns never: the process ends when the tool closes the
// channel, or at a request it cannot read.
[[noreturn]] void RunWorker();

}  // namespace tarvelo::cli
