#pragma once

namespace tarvelo::cli {

// The body of a worker process: converts one requested file after another, in
// process, through the library, and answers each request with the library's status.
// Returns never: the process ends when the tool closes its end of `channel`.
[[noreturn]] void RunWorker(int channel);

}  // namespace tarvelo::cli
