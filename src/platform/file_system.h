#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "platform/path_text.h"

namespace tarvelo::platform {

// Paths as the system's file calls take them: UTF-16 on Windows and Windows CE,
// bytes elsewhere.
#if defined(_WIN32) || defined(UNDER_CE)
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif
using NativePath = PathText<NativeChar>;

// An open file or directory: a descriptor, or a HANDLE's bits.
using Handle = intptr_t;
inline constexpr Handle kNoHandle = -1;

// An error number that no errno value describes: the destination is a pipe that
// nobody reads.
inline constexpr int kPipeWithoutReader = -2;

enum class FileKind { kMissing, kRegular, kDirectory, kSpecial };

// A destination as `locate` found it.
struct Located {
  Handle directory = kNoHandle;  // held while the file is written (POSIX); close() it
  NativePath directory_path;     // reaches that directory; empty or ending in a separator
  NativePath name;               // the destination's name in it
  NativePath directory_name;     // the directory as the path names it
  FileKind kind = FileKind::kMissing;
  uint32_t owner = 0;  // of an existing file (POSIX): a replacement keeps them
  uint32_t group = 0;
  uint32_t mode = 0;
};

// The file primitives that the destination's replace algorithm
// (writer/destination_file.cpp) is written over, one table per system. Calls return
// 0 or an errno value. Paths are `directory_path + name` of a Located, so that on
// POSIX they reach the directory through its descriptor, never by its name again.
//
// The table is writable so that the fault tests can put a failing or stopping call
// in one slot and drive the real algorithm through it. What a system lacks keeps the
// default here: it has no such file, or the call fails (ENOTSUP, ENOSYS).
struct FileSystem {
  // Finds the file that opening `path` (UTF-8) for writing would reach. Links are
  // followed only where the kernel's link protection would follow them, at every
  // component; the directory is opened once. An existing file must be writable.
  int (*locate)(const char* path, Located& found);
  // Opens an existing special file (pipe, terminal, device) at `path` for writing,
  // without waiting for a reader; kPipeWithoutReader for a pipe nobody reads.
  int (*open_special)(const char* path, std::FILE*& stream) = [](const char*, std::FILE*&) {
    return ENOTSUP;
  };
  // A new file without a name in the directory (Linux's O_TMPFILE), or kNoHandle
  // where the system has none.
  Handle (*create_unnamed)(const Located& found) = [](const Located&) { return kNoHandle; };
  // Creates `path`, which must not exist (EEXIST), held as being written until
  // closed: a sweep does not remove a held file.
  int (*create_new)(const NativePath& path, Handle& file);
  // Gives the unnamed `file` the name `path`, which must not exist (EEXIST); held.
  int (*name_unnamed)(Handle file, const NativePath& path) = [](Handle, const NativePath&) { return ENOSYS; };
  // Whether the existing file at `path` may be written (when naming an unnamed file
  // found one there).
  int (*check_writable)(const NativePath& path) = [](const NativePath&) { return ENOSYS; };
  // Moves `from` over `to` in one step.
  int (*replace)(const NativePath& from, const NativePath& to);
  int (*remove)(const NativePath& path);
  // Gives a replacement the owner and the permissions of the file it replaces.
  void (*keep_owner)(Handle file, const Located& found) = [](Handle, const Located&) {};
  // Opens the existing regular file at `path` for writing in place, once no other
  // writer of ours is writing it in place (a lock on it, released on close);
  // `size` is its size then.
  int (*open_in_place)(const NativePath& path, Handle& file, int64_t& size) = [](const NativePath&, Handle&,
                                                                                 int64_t&) { return ENOSYS; };
  // In place (`old_size` >= 0): sets aside `bytes` (every block or fails, maybe
  // having grown the file); ENOTSUP where it cannot. New (`old_size` < 0): a hint.
  int (*reserve)(Handle file, uint64_t bytes, int64_t old_size) = [](Handle, uint64_t, int64_t) {
    return ENOTSUP;
  };
  int (*truncate)(Handle file, int64_t size) = [](Handle, int64_t) { return ENOSYS; };
  int (*read_at)(Handle file, void* data, size_t size, int64_t at,
                 size_t& got) = [](Handle, void*, size_t, int64_t, size_t& got) { return got = 0, ENOSYS; };
  int (*write_at)(Handle file, const void* data, size_t size, int64_t at, size_t& put) =
      [](Handle, const void*, size_t, int64_t, size_t& put) { return put = 0, ENOSYS; };
  // An unbuffered stream on `file`, which it then owns; null with errno (the
  // handle closed) when it cannot be made.
  std::FILE* (*stream)(Handle file);
  // A new handle on the file of `file`.
  Handle (*duplicate)(Handle file);
  int (*close)(Handle file);
  // Calls `visit(context, name)` for each name in the directory.
  void (*list)(const Located& found, void (*visit)(void* context, const NativePath& name),
               void* context) = [](const Located&, void (*)(void*, const NativePath&), void*) {};
  // Removes `name` when it is a temporary file of ours that its writer left: a
  // regular file with one name, of this user, that nobody holds.
  void (*remove_if_stray)(const Located& found, const NativePath& name) = [](const Located&,
                                                                             const NativePath&) {};
  // Bits that tell a temporary name's calls apart, across processes and threads
  // (spread by the algorithm).
  uint64_t (*random_bits)();
  uint64_t (*seconds_now)();  // a monotonic clock
  // Waits a moment, letting every other thread run, whatever its priority.
  void (*pause)();
};

extern FileSystem files;

// Opens a source for reading, without waiting: a pipe with no writer or a device
// never blocks the call. Null with errno set when it cannot be opened (EISDIR for a
// directory); null with `not_regular` set, at once, when it is neither a regular
// file nor a directory (a pipe, a device, a socket; on Windows anything but a disk
// file), which is then not read at all, or when the system cannot tell its size.
// `size` is the file's size when it was opened.
std::FILE* OpenSourceFile(const char* path, bool& not_regular, uint64_t& size) noexcept;

}  // namespace tarvelo::platform

namespace tarvelo {

// A frozen export's wide path, narrowed as the exports narrow it and then made the
// path the file layer opens, once. It owns its text and frees it. Each system's
// narrowing is in its platform/file_system_*.cpp.
//
// Linux: UTF-8, whatever the process locale; a wchar_t that is not a Unicode scalar
// value (a surrogate, a value above 0x10FFFF) becomes '?'. A path of PATH_MAX bytes
// or more, which no system call takes, is null.
//
// Windows: the system's ANSI code page, through WideCharToMultiByte (code page 0, no
// flags, the whole string with its terminator, no default character) into a buffer
// of 2 x (n + 1) bytes for n units, or the code page's longest character times
// (n + 1) where that is more (the UTF-8 code page needs up to 3 bytes a unit), so
// every path the system allows fits; a character the code page lacks becomes the
// system's replacement (a best-fit letter or '?'), and a conversion that fails
// leaves the empty string. That ANSI text then becomes the file layer's UTF-8. A
// path longer than the system's 32,767 units is null.
//
// Windows CE: the ANSI text itself, code page 0, no flags, in 2 x (n + 1) bytes,
// enough for CE's single- and double-byte code pages; CE's slot widens it once.
class NarrowedPath {
 public:
  explicit NarrowedPath(const wchar_t* wide) noexcept;
  NarrowedPath(const NarrowedPath&) = delete;
  NarrowedPath& operator=(const NarrowedPath&) = delete;
  ~NarrowedPath() { std::free(text_); }

  // Null when the wide path was null, too long for the system, or memory ran out:
  // then nothing may be opened with it.
  [[nodiscard]] const char* c_str() const noexcept { return text_; }

 private:
  char* text_ = nullptr;
};

}  // namespace tarvelo
