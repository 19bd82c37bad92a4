#pragma once

namespace tarvelo::cli {

// The body of a worker process (platform.h): converts the files the tool sends,
// one after another, in process, through the library, and replies to each
// (worker_messages.h); after a stop, it skips those it has not started. Returns
// never: the process ends when the tool closes the channel, or at a request it
// cannot read.
[[noreturn]] void RunWorker();

}  // namespace tarvelo::cli
