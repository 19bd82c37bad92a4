#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "decode/source_file.h"

namespace tarvelo {

std::FILE* OpenSourceFile(const char* path) noexcept { return std::fopen(path, "rb"); }

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
