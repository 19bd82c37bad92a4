#pragma once

#include <cstdint>
#include <cstdio>

namespace tarvelo {

// What identifies the contents of an open file: any write, truncation or
// replacement of the file while it is read changes it.
struct SourceSnapshot {
  uint64_t size = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t modified_seconds = 0;
  int64_t modified_nanoseconds = 0;
  int64_t changed_seconds = 0;
  int64_t changed_nanoseconds = 0;

  friend bool operator==(const SourceSnapshot&, const SourceSnapshot&) = default;
};

// Opens a source for reading ("rb", as the decoder opens files), without waiting:
// a pipe with no writer or a device never blocks the call. Null with errno set when
// it cannot be opened; null with `not_regular` set, at once, when it is neither a
// regular file nor a directory (a pipe, a device, a socket; on Windows anything but
// a disk file), which is then not read at all.
std::FILE* OpenSourceFile(const char* path, bool& not_regular) noexcept;

// Takes the snapshot of an open source. False when it is not a regular file (a
// directory, a pipe, a device): the guard reads a source twice and must know its
// size, so only regular files are converted. For a directory errno is then EISDIR.
bool TakeSourceSnapshot(std::FILE* file, SourceSnapshot& snapshot) noexcept;

}  // namespace tarvelo
