#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "decode/source_file.h"

namespace tarvelo {

namespace {

bool Convertible(const struct stat& status) { return S_ISREG(status.st_mode) || S_ISDIR(status.st_mode); }

}  // namespace

std::FILE* OpenSourceFile(const char* path, bool& not_regular) noexcept {
  not_regular = false;
  // A special file is not even opened where it can be told from its name: opening
  // some devices does something.
  struct stat status {};
  if (stat(path, &status) == 0 && !Convertible(status)) {
    not_regular = true;
    return nullptr;
  }
  // O_NONBLOCK: a pipe put in the file's place meanwhile must not block open().
  const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (descriptor < 0) {
    return nullptr;
  }
  const int flags = fcntl(descriptor, F_GETFL);
  const bool known = fstat(descriptor, &status) == 0;
  if (!known || !Convertible(status) || flags < 0 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int error = errno;
    not_regular = known && !Convertible(status);
    close(descriptor);
    errno = error;
    return nullptr;
  }
  std::FILE* file = fdopen(descriptor, "rb");
  if (file == nullptr) {
    const int error = errno;
    close(descriptor);
    errno = error;
  }
  return file;
}

bool TakeSourceSnapshot(std::FILE* file, SourceSnapshot& snapshot) noexcept {
  struct stat status {};
  if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) {
    if (S_ISDIR(status.st_mode)) {
      errno = EISDIR;  // opening a directory for reading succeeds here
    }
    return false;
  }
  snapshot.size = static_cast<uint64_t>(status.st_size);
  snapshot.device = static_cast<uint64_t>(status.st_dev);
  snapshot.inode = static_cast<uint64_t>(status.st_ino);
  snapshot.modified_seconds = status.st_mtim.tv_sec;
  snapshot.modified_nanoseconds = status.st_mtim.tv_nsec;
  snapshot.changed_seconds = status.st_ctim.tv_sec;
  snapshot.changed_nanoseconds = status.st_ctim.tv_nsec;
  return true;
}

}  // namespace tarvelo
