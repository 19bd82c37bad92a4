#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "decode/source_file.h"
#include "platform/utf8_to_wide_windows.h"

namespace tarvelo {

// The library's paths are UTF-8; Windows opens the file by its UTF-16 name, so that
// names outside the ANSI code page work too.
std::FILE* OpenSourceFile(const char* path) noexcept {
  std::wstring wide;
  if (!Utf8ToWide(path, wide)) {
    errno = EINVAL;  // not UTF-8, or longer than a path may be
    return nullptr;
  }
  std::FILE* file = _wfopen(wide.c_str(), L"rb");
  // Windows refuses to open a directory with "Permission denied"; say what POSIX
  // says, so the reason is the same everywhere.
  struct _stat64 status {};
  if (file == nullptr && errno == EACCES && _wstat64(wide.c_str(), &status) == 0 &&
      (status.st_mode & _S_IFMT) == _S_IFDIR) {
    errno = EISDIR;
  }
  return file;
}

bool TakeSourceSnapshot(std::FILE* file, SourceSnapshot& snapshot) noexcept {
  struct _stat64 status {};
  if (_fstat64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG || status.st_size < 0) {
    if ((status.st_mode & _S_IFMT) == _S_IFDIR) {
      errno = EISDIR;
    }
    return false;
  }
  // Windows keeps no inode or change time here; the size and the write time (to the
  // second) are what a change shows in.
  snapshot.size = static_cast<uint64_t>(status.st_size);
  snapshot.device = static_cast<uint64_t>(status.st_dev);
  snapshot.modified_seconds = status.st_mtime;
  return true;
}

}  // namespace tarvelo
