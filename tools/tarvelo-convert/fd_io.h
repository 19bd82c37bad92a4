#pragma once

#include <cstddef>

namespace tarvelo::cli {

// Transfers on a descriptor that retry after a signal interrupts them.

// Writes exactly `size` bytes. False on an error (EPIPE when the peer is gone:
// the tool ignores SIGPIPE, so a vanished peer never kills it).
bool WriteFully(int fd, const void* buffer, std::size_t size);

// One read() that retries only after EINTR. Returns what read() returns.
long ReadSome(int fd, void* buffer, std::size_t size);

}  // namespace tarvelo::cli
