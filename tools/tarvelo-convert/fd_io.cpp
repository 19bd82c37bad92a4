#include "fd_io.h"

#include <unistd.h>

#include <cerrno>

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

long ReadSome(int fd, void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = read(fd, buffer, size);
    if (got >= 0 || errno != EINTR) {
      return got;
    }
  }
}

}  // namespace tarvelo::cli
