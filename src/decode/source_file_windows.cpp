#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "decode/source_file.h"
#include "platform/utf8_to_wide_windows.h"

namespace tarvelo {

// The library's paths are UTF-8; Windows opens the file by its UTF-16 name, so that
// names outside the ANSI code page work too. Opening a named pipe or a device does
// not wait; reading it would, so anything but a disk file is refused before a byte
// is read.
std::FILE* OpenSourceFile(const char* path, bool& not_regular) noexcept {
  not_regular = false;
  std::wstring wide;
  if (!Utf8ToWide(path, wide)) {
    errno = EINVAL;  // not UTF-8, or longer than a path may be
    return nullptr;
  }
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    errno = EISDIR;
    return nullptr;
  }
  HANDLE handle =
      CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    // The C library's own open gives the errno that callers expect.
    std::FILE* file = _wfopen(wide.c_str(), L"rb");
    if (file != nullptr) {
      std::fclose(file);
      errno = EACCES;
    }
    return nullptr;
  }
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    not_regular = true;
    return nullptr;
  }
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (descriptor < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(descriptor, "rb");
  if (file == nullptr) {
    _close(descriptor);
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
