#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace tarvelo::cli {

// Whole transfers on a descriptor, retried after a signal interrupts them.

// Writes exactly `size` bytes. False on an error (EPIPE when the peer is gone:
// the tool ignores SIGPIPE, so a vanished peer never kills it).
bool WriteFully(int fd, const void* buffer, std::size_t size);

// The most bytes the tool reads from standard input or a --files-from list: the
// largest source the library converts, whose decoder counts bytes in an int.
inline constexpr std::size_t kLargestInput = 0x7FFFFFFF;
inline constexpr const char* kTooLargeInput = "more than 2 GiB, the largest input the tool reads";

// Reads all of `fd` until end of file, at most kLargestInput bytes. Nothing on a
// read error (errno set), when there is more (errno EFBIG) or when memory runs out
// (errno ENOMEM).
std::optional<std::string> ReadAll(int fd);

}  // namespace tarvelo::cli
