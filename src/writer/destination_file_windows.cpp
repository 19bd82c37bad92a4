#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "platform/utf8_to_wide_windows.h"
#include "writer/destination_file.h"
#include "writer/temporary_name.h"
#if defined(TARVELO_TEST_SEAMS)
#include "destination_hook.h"  // the tests' copy of this file only (tests/support)
#endif

namespace tarvelo {
namespace {

constexpr int kTemporaryNameAttempts = 64;
constexpr DWORD kCopyBlock = DWORD{1} << 18;
// OverwriteWithCopy: the target cannot be opened for writing.
constexpr int kNotWritable = -1;

// The errno value of a system error, so that failures read as they do elsewhere.
int ErrnoFromSystemError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_PARAMETER: return EINVAL;
    default: return EIO;
  }
}

int LastErrno() { return ErrnoFromSystemError(GetLastError()); }

// The directory part of `path` with its separator; "C:" for "C:name", "" for a bare name.
NativePath DirectoryOf(const NativePath& path) {
  const size_t separator = path.find_last_of(L"\\/");
  if (separator != NativePath::npos) {
    return path.substr(0, separator + 1);
  }
  if (path.size() >= 2 && path[1] == L':') {
    return path.substr(0, 2);
  }
  return {};
}

// Bits for a temporary name. CREATE_NEW makes the name safe; these only make a
// clash between threads and processes unlikely.
uint64_t NameBits() noexcept {
  static std::atomic<uint64_t> counter{0};
  LARGE_INTEGER ticks{};
  QueryPerformanceCounter(&ticks);
  uint64_t bits = static_cast<uint64_t>(ticks.QuadPart) ^ (uint64_t{GetCurrentProcessId()} << 32U) ^
                  GetCurrentThreadId() ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15U);
  // splitmix64's finaliser spreads every input bit over the whole value.
  bits ^= bits >> 30U;
  bits *= 0xBF58476D1CE4E5B9U;
  bits ^= bits >> 27U;
  bits *= 0x94D049BB133111EBU;
  bits ^= bits >> 31U;
  return bits;
}

// The file that opening `file`'s path reaches, symbolic links followed; `fallback`
// when the system cannot say.
NativePath FinalPathOf(HANDLE file, const NativePath& fallback) {
  const DWORD needed = GetFinalPathNameByHandleW(file, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (needed == 0) {
    return fallback;
  }
  NativePath final_path(needed, L'\0');
  const DWORD length =
      GetFinalPathNameByHandleW(file, final_path.data(), needed, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= needed) {
    return fallback;
  }
  final_path.resize(length);
  return final_path;
}

// Creates a new, empty file beside `target` (TemporaryName); its handle, or
// INVALID_HANDLE_VALUE with `error` set. The handle shares only the file's deletion,
// which its own move into place needs: while the writer has the file open, nobody
// else may open its bytes, and a sweep's unshared open fails (RemoveIfStray). The
// file is held so from its creation, and the hold ends with the writer, however
// its process ends.
HANDLE CreateTemporary(const NativePath& target, NativePath& temporary, int& error) {
  const NativePath directory = DirectoryOf(target);
  const NativePath name = target.substr(directory.size());
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    temporary = TemporaryName(directory, name, NameBits());
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      return file;
    }
    const DWORD system_error = GetLastError();
    if (system_error != ERROR_FILE_EXISTS && system_error != ERROR_ALREADY_EXISTS) {
      temporary.clear();
      error = ErrnoFromSystemError(system_error);
      return INVALID_HANDLE_VALUE;
    }
  }
  temporary.clear();
  error = EEXIST;
  return INVALID_HANDLE_VALUE;
}

// Copies `from` whole over the start of `to`. 0 or the errno.
int CopyBytes(HANDLE from, HANDLE to) {
  const std::unique_ptr<char[]> heap(new (std::nothrow) char[kCopyBlock]);
  char fallback[4096];
  char* const block = heap != nullptr ? heap.get() : fallback;
  const DWORD capacity = heap != nullptr ? kCopyBlock : DWORD{sizeof fallback};
  for (;;) {
    DWORD got = 0;
    if (ReadFile(from, block, capacity, &got, nullptr) == 0) {
      return LastErrno();
    }
    if (got == 0) {
      return 0;
    }
    for (DWORD put = 0; put < got;) {
      DWORD wrote = 0;
      if (WriteFile(to, block + put, got - put, &wrote, nullptr) == 0 || wrote == 0) {
        return LastErrno();
      }
      put += wrote;
    }
  }
}

// Waits for the lock on the whole of `file` that writers overwriting it in place
// take in turn. Asked for without waiting, and again after a moment: not every
// system waits for a lock on a handle opened for synchronous use (Wine reports the
// wait as not implemented).
bool LockWholeFile(HANDLE file, OVERLAPPED& whole) {
  for (;;) {
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                   &whole) != 0) {
      return true;
    }
    if (GetLastError() != ERROR_LOCK_VIOLATION) {
      return false;
    }
    Sleep(1);
  }
}

// Overwrites `target` in place with the complete file `from` (the writer's handle
// on its temporary file), as a plain overwrite would: once no other writer of ours
// is overwriting it (LockFileEx on the whole file), and with its new size set aside
// first, so that a full disk fails with the old bytes intact. 0, the errno, or
// kNotWritable.
int OverwriteWithCopy(HANDLE from, const NativePath& target) {
  const LARGE_INTEGER start{};
  if (SetFilePointerEx(from, start, nullptr, FILE_BEGIN) == 0) {
    return LastErrno();
  }
  HANDLE to = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (to == INVALID_HANDLE_VALUE || GetFileType(to) != FILE_TYPE_DISK) {
    if (to != INVALID_HANDLE_VALUE) {
      CloseHandle(to);
    }
    return kNotWritable;
  }
  int error = 0;
  OVERLAPPED whole{};
  LARGE_INTEGER size{};
  LARGE_INTEGER old_size{};
  if (!LockWholeFile(to, whole)) {
    error = LastErrno();
  } else {
    if (GetFileSizeEx(from, &size) == 0 || GetFileSizeEx(to, &old_size) == 0) {
      error = LastErrno();
    } else if (size.QuadPart > old_size.QuadPart) {
      // Growing the file first allocates its space: a full disk fails here, before
      // an old byte is overwritten.
      if (SetFilePointerEx(to, size, nullptr, FILE_BEGIN) == 0 || SetEndOfFile(to) == 0 ||
          SetFilePointerEx(to, start, nullptr, FILE_BEGIN) == 0) {
        error = LastErrno();
      }
    }
    if (error == 0) {
      error = CopyBytes(from, to);
    }
    if (error == 0 && (SetFilePointerEx(to, size, nullptr, FILE_BEGIN) == 0 || SetEndOfFile(to) == 0)) {
      error = LastErrno();
    }
    (void)UnlockFileEx(to, 0, MAXDWORD, MAXDWORD, &whole);
  }
  if (CloseHandle(to) == 0 && error == 0) {
    error = LastErrno();
  }
  return error;
}

// The user this process runs as (its token's), written into `buffer`; null when it
// cannot be read.
PSID ProcessUser(void* buffer, DWORD size) {
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0) {
    return nullptr;
  }
  DWORD needed = 0;
  const bool read = GetTokenInformation(token, TokenUser, buffer, size, &needed) != 0;
  CloseHandle(token);
  return read ? static_cast<TOKEN_USER*>(buffer)->User.Sid : nullptr;
}

// Removes `path` when it is a temporary file of ours that its writer left behind: a
// disk file (no directory, no link) with no other name, owned by `user`, that
// nobody has open. A writer holds its temporary file open, sharing only its
// deletion, for as long as it lives (CreateTemporary), so the unshared open below
// succeeds only once the writer is gone, whatever became of its process; the
// checks and the removal then go through that one handle.
void RemoveIfStray(const NativePath& path, PSID user) {
  HANDLE file = CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | READ_CONTROL, 0, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  constexpr DWORD kNotPlain =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY;
  BY_HANDLE_FILE_INFORMATION information{};
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  const bool stray = GetFileType(file) == FILE_TYPE_DISK &&
                     GetFileInformationByHandle(file, &information) != 0 &&
                     (information.dwFileAttributes & kNotPlain) == 0 && information.nNumberOfLinks == 1 &&
                     GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                     nullptr, nullptr, &security) == ERROR_SUCCESS &&
                     owner != nullptr && EqualSid(owner, user) != 0;
  if (security != nullptr) {
    LocalFree(security);
  }
  if (stray) {
    FILE_DISPOSITION_INFO remove{};
    remove.DeleteFile = TRUE;
    (void)SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof remove);
  }
  CloseHandle(file);
}

// Removes the stray temporary files of ours in `directory` (RemoveIfStray): those a
// writer killed before its move into place left behind. Each thread reads a
// directory at most once in temporary_name::kSweepInterval.
void SweepStrays(const NativePath& directory) {
  struct Swept {
    size_t name_hash = 0;
    std::chrono::steady_clock::time_point when;
  };
  thread_local Swept last;
  const auto now = std::chrono::steady_clock::now();
  const size_t name_hash = std::hash<NativePath>{}(directory);
  if (name_hash == last.name_hash && last.when.time_since_epoch().count() != 0 &&
      now - last.when < temporary_name::kSweepInterval) {
    return;
  }
  last = {name_hash, now};
  alignas(TOKEN_USER) unsigned char user_buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  const PSID user = ProcessUser(user_buffer, sizeof user_buffer);
  if (user == nullptr) {
    return;  // whose files are ours cannot be told
  }
  WIN32_FIND_DATAW found{};
  HANDLE listing = FindFirstFileW((directory + L"*").c_str(), &found);
  if (listing == INVALID_HANDLE_VALUE) {
    return;
  }
  do {
    if (IsTemporaryName(std::wstring_view(found.cFileName))) {
      RemoveIfStray(directory + found.cFileName, user);
    }
  } while (FindNextFileW(listing, &found) != 0);
  FindClose(listing);
}

}  // namespace

DestinationFile::~DestinationFile() { Abandon(); }

void DestinationFile::Abandon() noexcept {
  if (stream_ != nullptr) {
    (void)std::fclose(stream_);  // abandoned: its result no longer matters
    stream_ = nullptr;
  }
  if (!temporary_.empty()) {
    DeleteFileW(temporary_.c_str());
    temporary_.clear();
  }
  replacing_ = false;
}

bool DestinationFile::Open(const char* path, WriteFailure& failure) noexcept {
  const auto fail = [&failure](int error) {
    failure = {WriteFailureKind::kOpenFailed, error};
    return false;
  };
  if (path == nullptr || *path == '\0') {
    return fail(ENOENT);
  }
  try {
    if (!Utf8ToWide(path, target_)) {
      return fail(EINVAL);
    }
    const DWORD attributes = GetFileAttributesW(target_.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists) {
      const DWORD error = GetLastError();
      // A missing directory shows when the temporary file cannot be created.
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        return fail(ErrnoFromSystemError(error));
      }
    }
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return fail(EISDIR);
    }
    // Windows refuses to write a read-only file, and so does the replacement. The
    // check is explicit: a file system that lets a privileged user write it anyway
    // (Wine run as root) must not change the outcome.
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      return fail(EACCES);
    }
    if (exists) {
      // Replacing must need the same right as truncating: opening the file for
      // writing. The handle also tells a disk file from a device and finds the
      // file behind a symbolic link.
      HANDLE existing =
          CreateFileW(target_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (existing == INVALID_HANDLE_VALUE) {
        return fail(LastErrno());
      }
      const bool disk_file = GetFileType(existing) == FILE_TYPE_DISK;
      if (disk_file && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        target_ = FinalPathOf(existing, target_);
      }
      CloseHandle(existing);
      if (!disk_file) {
        stream_ = _wfopen(target_.c_str(), L"wb");
        return stream_ != nullptr || fail(errno);
      }
    }
    replacing_ = exists;
    int error = 0;
    HANDLE temporary = CreateTemporary(target_, temporary_, error);
    if (temporary == INVALID_HANDLE_VALUE) {
      return fail(error);
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(temporary), _O_WRONLY | _O_BINARY);
    if (descriptor < 0) {
      error = errno;
      CloseHandle(temporary);
      Abandon();
      return fail(error);
    }
    stream_ = _fdopen(descriptor, "wb");
    if (stream_ == nullptr) {
      error = errno;
      _close(descriptor);
      Abandon();
      return fail(error);
    }
    SweepStrays(DirectoryOf(target_));
    return true;
  } catch (const std::bad_alloc&) {
    Abandon();
    return fail(ENOMEM);
  }
}

// Not used on Windows: the file grows as it is written, and a destination is
// overwritten in place only from a complete copy (OverwriteWithCopy), which sets
// its own space aside.
bool DestinationFile::Reserve(uint64_t /*bytes*/, WriteFailure& /*failure*/) noexcept { return true; }

bool DestinationFile::Commit(WriteFailure& failure) noexcept {
  if (stream_ == nullptr) {
    failure = {WriteFailureKind::kWriteFailed, EBADF};
    return false;
  }
  const auto errno_or_io = [] { return errno != 0 ? errno : EIO; };
  int error = 0;
  errno = 0;
  if (std::fflush(stream_) != 0) {
    error = errno_or_io();
  } else if (std::ferror(stream_) != 0) {
    error = EIO;
  }
  // The complete file stays held (see CreateTemporary) until it is in place;
  // closing the stream first still reports a close error before that.
  HANDLE held = INVALID_HANDLE_VALUE;
  if (error == 0 && !temporary_.empty()) {
    const auto stream_handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream_)));
    if (DuplicateHandle(GetCurrentProcess(), stream_handle, GetCurrentProcess(), &held, 0, FALSE,
                        DUPLICATE_SAME_ACCESS) == 0) {
      held = INVALID_HANDLE_VALUE;
      error = LastErrno();
    }
  }
  std::FILE* stream = stream_;
  stream_ = nullptr;
  if (std::fclose(stream) != 0 && error == 0) {
    error = errno_or_io();
  }
#if defined(TARVELO_TEST_SEAMS)
  if (error == 0 && held != INVALID_HANDLE_VALUE) {
    test_seams::RunTemporaryNamedHook();
  }
#endif
  // Replaces an existing destination in one step; the write-through flag returns
  // only once the move is on the disk.
  if (error == 0 && held != INVALID_HANDLE_VALUE &&
      MoveFileExW(temporary_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ==
          0) {
    const DWORD refused = GetLastError();
    error = ErrnoFromSystemError(refused);
    if (replacing_ && (refused == ERROR_ACCESS_DENIED || refused == ERROR_SHARING_VIOLATION)) {
      // The file may not be replaced (another program has it open without sharing
      // its deletion, or its permissions keep it) yet may be written: overwrite it,
      // as a plain open would.
      const int overwrite = OverwriteWithCopy(held, target_);
      if (overwrite != kNotWritable) {
        error = overwrite;
      }
      if (error == 0) {
        DeleteFileW(temporary_.c_str());
      }
    }
  }
  if (held != INVALID_HANDLE_VALUE) {
    CloseHandle(held);
  }
  if (error != 0) {
    Abandon();
    failure = {WriteFailureKind::kWriteFailed, error};
    return false;
  }
  temporary_.clear();
  replacing_ = false;
  return true;
}

}  // namespace tarvelo
