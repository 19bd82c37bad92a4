#pragma once

#include <cstddef>

namespace tarvelo::cli {

// Whole-buffer transfers on a blocking descriptor. Both retry after a signal
// interrupts them and after short transfers.

// Reads exactly `size` bytes. False on end of file before that or on an error.
bool ReadFully(int fd, void* buffer, std::size_t size);

// Writes exactly `size` bytes. False on an error (EPIPE when the peer is gone:
// the tool ignores SIGPIPE, so a vanished peer never kills it).
bool WriteFully(int fd, const void* buffer, std::size_t size);

// One read() that retries only after EINTR. Returns what read() returns.
long ReadSome(int fd, void* buffer, std::size_t size);

}  // namespace tarvelo::cli
