#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>

#include "source_file.h"

namespace tarvelo {

std::FILE* OpenSourceFile(const char* path) noexcept { return std::fopen(path, "rb"); }

bool TakeSourceSnapshot(std::FILE* file, SourceSnapshot& snapshot) noexcept {
  struct _stat64 status {};
  if (_fstat64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG || status.st_size < 0) {
    return false;
  }
  // Windows keeps no change time; the size and the write time (to the second here)
  // are what a change shows in.
  snapshot.size = static_cast<uint64_t>(status.st_size);
  snapshot.device = static_cast<uint64_t>(status.st_dev);
  snapshot.modified_seconds = status.st_mtime;
  return true;
}

}  // namespace tarvelo
