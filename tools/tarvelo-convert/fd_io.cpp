#include "fd_io.h"

#include <unistd.h>

#include <cerrno>
#include <new>

namespace tarvelo::cli {

bool WriteFully(int fd, const void* buffer, std::size_t size) {
  const auto* bytes = static_cast<const char*>(buffer);
  while (size > 0) {
    const ssize_t put = write(fd, bytes, size);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return false;
    }
    bytes += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

std::optional<std::string> ReadAll(int fd) {
  std::string text;
  constexpr std::size_t kChunk = std::size_t{64} * 1024;
  try {
    for (;;) {
      const std::size_t used = text.size();
      if (used > kLargestInput) {
        errno = EFBIG;
        return std::nullopt;
      }
      text.resize(used + kChunk);
      ssize_t got = 0;
      while ((got = read(fd, text.data() + used, kChunk)) < 0 && errno == EINTR) {
      }
      if (got < 0) {
        return std::nullopt;
      }
      text.resize(used + static_cast<std::size_t>(got));
      if (got == 0) {
        return text;
      }
    }
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return std::nullopt;
  }
}

}  // namespace tarvelo::cli
