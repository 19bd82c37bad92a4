#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/file_system.h"
#include "platform/text_copy.h"

namespace tarvelo::platform {
namespace {

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

// `text` in `code_page` as the UTF-16 text the wide calls take, into the empty
// `wide`. The library's paths are UTF-8 (MB_ERR_INVALID_CHARS: false when they are
// not), so that names outside the ANSI code page work too. False too when memory
// runs out.
bool Widen(UINT code_page, DWORD flags, const char* text, NativePath& wide) {
  return text != nullptr && wide.AppendConverted([&](wchar_t* out, int capacity) {
    return MultiByteToWideChar(code_page, flags, text, -1, out, capacity);
  });
}

// The file that opening `file`'s path reaches, symbolic links followed; `fallback`
// when the system cannot say.
NativePath FinalPathOf(HANDLE file, const NativePath& fallback) {
  NativePath final_path;
  const bool found = final_path.AppendConverted([file](wchar_t* out, int capacity) {
    const DWORD length = GetFinalPathNameByHandleW(file, out, static_cast<DWORD>(capacity),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    // Asked for its size, it counts the terminator; once written, not.
    return static_cast<int>(out == nullptr || length == 0 ? length : length + 1);
  });
  return found && !final_path.empty() ? final_path : fallback;
}

int Result(bool done) { return done ? 0 : LastErrno(); }

HANDLE Native(Handle file) { return reinterpret_cast<HANDLE>(file); }

// Splits `target` into its directory part with its separator ("C:" for "C:name", ""
// for a bare name) and its name. 0, or ENOMEM when the parts could not be kept.
int Split(const NativePath& target, Located& found) {
  const size_t separator = target.FindLast(L'\\', L'/');
  const bool drive = separator == NativePath::npos && target.size() >= 2 && target[1] == L':';
  found.directory_path = target.Slice(0, separator != NativePath::npos ? separator + 1 : drive ? 2 : 0);
  found.name = target.Slice(found.directory_path.size());
  found.directory_name = found.directory_path;
  return found.directory_path.failed() || found.name.failed() || found.directory_name.failed() ? ENOMEM : 0;
}

// The file that opening `path` for writing reaches: a missing one, a directory, a
// disk file (behind its symbolic links) or a device. Windows refuses to write a
// read-only file, and so does the replacement; the check is explicit, as a file
// system that lets a privileged user write it anyway (Wine run as root) must not
// change the outcome. Opening the file for writing is the right a replacement
// needs, as truncating would.
int Locate(const char* path, Located& found) {
  found = Located{};
  NativePath target;
  if (!Widen(CP_UTF8, MB_ERR_INVALID_CHARS, path, target)) {
    return EINVAL;
  }
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    // A missing directory shows when the temporary file cannot be created.
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      return ErrnoFromSystemError(error);
    }
    return Split(target, found);
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    found.kind = FileKind::kDirectory;
    return 0;
  }
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return EACCES;
  }
  HANDLE existing =
      CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (existing == INVALID_HANDLE_VALUE) {
    return LastErrno();
  }
  const bool disk_file = GetFileType(existing) == FILE_TYPE_DISK;
  if (disk_file && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    target = FinalPathOf(existing, target);
  }
  CloseHandle(existing);
  found.kind = disk_file ? FileKind::kRegular : FileKind::kSpecial;
  return Split(target, found);
}

int OpenSpecial(const char* path, std::FILE*& stream) {
  NativePath target;
  const bool named = Widen(CP_UTF8, MB_ERR_INVALID_CHARS, path, target);
  stream = named ? _wfopen(target.c_str(), L"wb") : nullptr;
  return stream != nullptr ? 0 : named ? errno : EINVAL;
}

// The handle shares only the file's deletion, which its own move into place needs:
// while the writer has the file open, nobody else may open its bytes, and a sweep's
// unshared open fails (RemoveIfStray). The file is held so from its creation, and
// the hold ends with the writer, however its process ends.
int CreateNew(const NativePath& path, Handle& file) {
  HANDLE created = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  file = reinterpret_cast<Handle>(created);
  return created != INVALID_HANDLE_VALUE ? 0 : LastErrno();
}

int OpenInPlace(const NativePath& path, Handle& file, int64_t& size) {
  HANDLE opened = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    return LastErrno();
  }
  // Waits for the lock on the whole file that writers overwriting it in place take
  // in turn. Asked for without waiting, and again after a moment: not every system
  // waits for a lock on a handle opened for synchronous use (Wine reports the wait as
  // not implemented).
  OVERLAPPED whole{};
  LARGE_INTEGER old_size{};
  int error = GetFileType(opened) != FILE_TYPE_DISK ? EAGAIN : 0;
  while (error == 0 && LockFileEx(opened, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                                  MAXDWORD, &whole) == 0) {
    if (GetLastError() != ERROR_LOCK_VIOLATION) {
      error = LastErrno();
    }
    Sleep(1);
  }
  error = error != 0 || GetFileSizeEx(opened, &old_size) != 0 ? error : LastErrno();
  if (error != 0) {
    CloseHandle(opened);
    return error;
  }
  file = reinterpret_cast<Handle>(opened);
  size = old_size.QuadPart;
  return 0;
}

// Sets the end of `file`; its position (a stream's) stays where it was.
int Truncate(Handle file, int64_t size) {
  LARGE_INTEGER end{};
  LARGE_INTEGER position{};
  end.QuadPart = size;
  const bool done = SetFilePointerEx(Native(file), LARGE_INTEGER{}, &position, FILE_CURRENT) != 0 &&
                    SetFilePointerEx(Native(file), end, nullptr, FILE_BEGIN) != 0 &&
                    SetEndOfFile(Native(file)) != 0;
  const int error = Result(done);
  (void)SetFilePointerEx(Native(file), position, nullptr, FILE_BEGIN);
  return error;
}

// ReadFile or WriteFile of up to `size` bytes at offset `at`; none done is EIO.
template <auto kCall, typename Data>
int Transfer(Handle file, Data data, size_t size, int64_t at, size_t& done) {
  OVERLAPPED position{};
  position.Offset = static_cast<DWORD>(static_cast<uint64_t>(at));
  position.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(at) >> 32U);
  DWORD moved = 0;
  const BOOL ok =
      kCall(Native(file), data, static_cast<DWORD>(size < MAXDWORD ? size : MAXDWORD), &moved, &position);
  done = ok != 0 ? moved : 0;
  return ok == 0 ? LastErrno() : (moved == 0 ? EIO : 0);
}

// A stream on `file`, which it then owns; null with errno (the handle closed) when it
// cannot be made. Unbuffered: the writer hands over whole blocks, larger than the
// stream's own buffer, and a source is read whole.
std::FILE* Stream(Handle file, int flags, const char* mode) {
  const int descriptor = _open_osfhandle(file, flags | _O_BINARY);
  std::FILE* stream = descriptor < 0 ? nullptr : _fdopen(descriptor, mode);
  if (stream == nullptr) {
    const int error = errno;
    (void)(descriptor < 0 ? CloseHandle(Native(file)) : _close(descriptor));
    errno = error;
    return nullptr;
  }
  (void)std::setvbuf(stream, nullptr, _IONBF, 0);
  return stream;
}

Handle Duplicate(Handle file) {
  HANDLE copy = INVALID_HANDLE_VALUE;
  const bool done = DuplicateHandle(GetCurrentProcess(), Native(file), GetCurrentProcess(), &copy, 0, FALSE,
                                    DUPLICATE_SAME_ACCESS) != 0;
  errno = done ? errno : LastErrno();
  return done ? reinterpret_cast<Handle>(copy) : kNoHandle;
}

void List(const Located& found, void (*visit)(void* context, const NativePath& name), void* context) {
  WIN32_FIND_DATAW entry{};
  HANDLE listing = FindFirstFileW((found.directory_path + L"*").c_str(), &entry);
  if (listing == INVALID_HANDLE_VALUE) {
    return;
  }
  do {
    visit(context, entry.cFileName);
  } while (FindNextFileW(listing, &entry) != 0);
  FindClose(listing);
}

// Removes `path` when it is a temporary file of ours that its writer left behind: a
// disk file (no directory, no link) with no other name, owned by `user`, that
// nobody has open. A writer holds its temporary file open, sharing only its
// deletion, for as long as it lives (CreateNew), so the unshared open below
// succeeds only once the writer is gone, whatever became of its process; the
// checks and the removal then go through that one handle.
void RemoveIfStray(const Located& found, const NativePath& name) {
  // The user this process runs as (its token's); without it, whose files are ours
  // cannot be told.
  alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  HANDLE token = nullptr;
  DWORD needed = 0;
  const bool known = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) != 0 &&
                     GetTokenInformation(token, TokenUser, user, sizeof user, &needed) != 0;
  if (token != nullptr) {
    CloseHandle(token);
  }
  if (!known) {
    return;
  }
  const NativePath path = found.directory_path + name;
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
                     owner != nullptr && EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user)->User.Sid) != 0;
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

}  // namespace

// No unnamed files; a new file's owner and permissions come from its directory.
FileSystem files = {
    .locate = Locate,
    .open_special = OpenSpecial,
    .create_new = CreateNew,
    // Replaces an existing destination in one step; the write-through flag returns
    // only once the move is on the disk.
    .replace =
        [](const NativePath& from, const NativePath& to) {
          return Result(
              MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0);
        },
    .remove = [](const NativePath& path) { return Result(DeleteFileW(path.c_str()) != 0); },
    .open_in_place = OpenInPlace,
    .truncate = Truncate,
    .read_at = Transfer<ReadFile, void*>,
    .write_at = Transfer<WriteFile, const void*>,
    .stream = [](Handle file) { return Stream(file, _O_WRONLY, "wb"); },
    .duplicate = Duplicate,
    .close = [](Handle file) { return Result(CloseHandle(Native(file)) != 0); },
    .list = List,
    .remove_if_stray = RemoveIfStray,
    .random_bits =
        [] {
          LARGE_INTEGER ticks{};
          QueryPerformanceCounter(&ticks);
          return static_cast<uint64_t>(ticks.QuadPart) ^ (uint64_t{GetCurrentProcessId()} << 32U) ^
                 GetCurrentThreadId();
        },
    .seconds_now = [] { return static_cast<uint64_t>(GetTickCount64() / 1000); },
    .pause = [] { Sleep(1); },  // Sleep(0) would yield to threads of the same priority only
};

// Opening a named pipe or a device does not wait; reading it would, so anything but
// a disk file is refused before a byte is read.
std::FILE* OpenSourceFile(const char* path, bool& not_regular, uint64_t& size) noexcept {
  not_regular = false;
  NativePath wide;
  if (!Widen(CP_UTF8, MB_ERR_INVALID_CHARS, path, wide)) {
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
  LARGE_INTEGER length{};
  if (GetFileType(handle) != FILE_TYPE_DISK || GetFileSizeEx(handle, &length) == 0) {
    CloseHandle(handle);
    not_regular = true;
    return nullptr;
  }
  size = static_cast<uint64_t>(length.QuadPart);
  return Stream(reinterpret_cast<Handle>(handle), _O_RDONLY, "rb");
}

}  // namespace tarvelo::platform

namespace tarvelo {

void CopyErrorText(int error_number, char* out, size_t size) noexcept {
  char message[256] = {};
  (void)strerror_s(message, sizeof message, error_number);
  CopyText(message, out, size);
}

static_assert(sizeof(wchar_t) == 2, "Windows wide paths are UTF-16");

NarrowedPath::NarrowedPath(const wchar_t* wide) noexcept {
  constexpr size_t kMaxPathUnits = 32767;  // the longest path the wide file calls take
  const size_t length = wide != nullptr ? std::wcslen(wide) : kMaxPathUnits + 1;
  CPINFO info{};
  const size_t per_unit = GetCPInfo(CP_ACP, &info) != 0 && info.MaxCharSize > 2 ? info.MaxCharSize : 2;
  const size_t capacity = per_unit * (length + 1);
  auto* ansi = static_cast<char*>(length <= kMaxPathUnits ? std::malloc(capacity) : nullptr);
  if (ansi == nullptr) {
    return;
  }
  ansi[0] = '\0';
  // The result is not examined: a failed conversion leaves the empty string.
  (void)WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, static_cast<int>(capacity), nullptr, nullptr);
  platform::NativePath native;
  (void)platform::Widen(CP_ACP, 0, ansi, native);  // empty when it fails
  std::free(ansi);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, native.c_str(), -1, nullptr, 0, nullptr, nullptr);
  text_ = static_cast<char*>(bytes > 0 ? std::malloc(static_cast<size_t>(bytes)) : nullptr);
  if (text_ != nullptr &&
      WideCharToMultiByte(CP_UTF8, 0, native.c_str(), -1, text_, bytes, nullptr, nullptr) == 0) {
    text_[0] = '\0';
  }
}

}  // namespace tarvelo
