// Windows CE's slot of the file primitives. The library's paths are the exports'
// ANSI text here; `locate` and the source's opening widen them once for CE's wide
// file calls. CE has no links, no owners, no unnamed files, no byte-range locks and
// no stream on a handle, so:
//   - a new file's name is claimed with CREATE_NEW and its handle closed at once;
//     the Handle is then the file's wide name, which `stream` opens with _wfopen
//     ("wb") and frees; `duplicate` and `close` only carry its bits along;
//   - the replacement of an existing file is DeleteAndRenameFile, as MoveFileW
//     never replaces one; nothing writes a destination in place;
//   - nothing is swept: a temporary file that a power loss left stays.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/coredll.h"
#include "platform/file_system.h"
#include "platform/text_copy.h"

namespace tarvelo::platform {
namespace {

constexpr CeDword kGenericWrite = 0x40000000U;
constexpr CeDword kCreateNew = 1;
constexpr CeDword kNormal = 0x80U;
constexpr CeDword kFileNotFound = 2;
constexpr CeDword kPathNotFound = 3;
constexpr CeDword kAccessDenied = 5;
constexpr CeDword kSharingViolation = 32;
constexpr CeDword kFileExists = 80;
constexpr CeDword kAlreadyExists = 183;
constexpr CeDword kDiskFull = 112;

int LastErrno() {
  switch (GetLastError()) {
    case kFileNotFound:
    case kPathNotFound: return ENOENT;
    case kAccessDenied:
    case kSharingViolation: return EACCES;
    case kFileExists:
    case kAlreadyExists: return EEXIST;
    case kDiskFull: return ENOSPC;
    default: return EIO;
  }
}

// `text` (the ANSI code page's) as the wide path CE's file calls take; false when it
// cannot be had.
bool Widen(const char* text, NativePath& wide) {
  return wide.AppendConverted(
      [text](wchar_t* out, int capacity) { return MultiByteToWideChar(0, 0, text, -1, out, capacity); });
}

int Locate(const char* path, Located& found) {
  found = Located{};
  NativePath target;
  if (!Widen(path, target)) {
    return ENOMEM;
  }
  const CeDword attributes = GetFileAttributesW(target.c_str());
  if (attributes != kCeNoAttributes) {
    found.kind = (attributes & kCeDirectory) != 0 ? FileKind::kDirectory : FileKind::kRegular;
    if ((attributes & (kCeDirectory | kCeReadOnly)) == kCeReadOnly) {
      return EACCES;
    }
  } else if (GetLastError() != kFileNotFound && GetLastError() != kPathNotFound) {
    return LastErrno();
  }
  const size_t separator = target.FindLast(L'\\', L'/');
  found.directory_path = target.Slice(0, separator == NativePath::npos ? 0 : separator + 1);
  found.name = target.Slice(found.directory_path.size());
  found.directory_name = found.directory_path;
  return found.name.failed() || found.directory_name.failed() ? ENOMEM : 0;
}

// The handle is a copy of the name, which `stream` opens and frees.
int CreateNew(const NativePath& path, Handle& file) {
  CeHandle created = CreateFileW(path.c_str(), kGenericWrite, 0, nullptr, kCreateNew, kNormal, nullptr);
  if (reinterpret_cast<intptr_t>(created) == kCeInvalidHandle) {
    return LastErrno();
  }
  (void)CloseHandle(created);
  const size_t bytes = (path.size() + 1) * sizeof(wchar_t);
  void* name = std::malloc(bytes);
  if (name == nullptr) {
    (void)DeleteFileW(path.c_str());
    return ENOMEM;
  }
  std::memcpy(name, path.c_str(), bytes);
  file = reinterpret_cast<Handle>(name);
  return 0;
}

std::FILE* Stream(Handle file) {
  auto* wide = reinterpret_cast<wchar_t*>(file);  // NOLINT(performance-no-int-to-ptr): the name it carries
  std::FILE* stream = _wfopen(wide, L"wb");
  std::free(wide);
  if (stream == nullptr) {
    errno = EACCES;
  }
  return stream;
}

int Replace(const NativePath& from, const NativePath& to) {
  const bool exists = GetFileAttributesW(to.c_str()) != kCeNoAttributes;
  const int done =
      exists ? DeleteAndRenameFile(to.c_str(), from.c_str()) : MoveFileW(from.c_str(), to.c_str());
  // Not EACCES: nothing here may write the destination in place instead.
  return done != 0 ? 0 : LastErrno() == EACCES ? EBUSY : LastErrno();
}

}  // namespace

// No special files, unnamed files, owners, writing in place or sweep: the defaults.
FileSystem files = {
    .locate = Locate,
    .create_new = CreateNew,
    .replace = Replace,
    .remove = [](const NativePath& path) { return DeleteFileW(path.c_str()) != 0 ? 0 : LastErrno(); },
    .stream = Stream,
    .duplicate = [](Handle file) { return file; },
    .close = [](Handle) { return 0; },  // the stream owned what the handle named
    .random_bits =
        [] {
          const uint64_t ticks = uint64_t{GetTickCount()} << 32U;
          return ticks ^ reinterpret_cast<uintptr_t>(&ticks);  // a stack's place tells threads apart
        },
    .seconds_now = [] { return uint64_t{GetTickCount() / 1000U}; },
    .pause = [] { Sleep(1); },  // Sleep(0) would yield to threads of the same priority only
};

std::FILE* OpenSourceFile(const char* path, bool& not_regular, uint64_t& size) noexcept {
  not_regular = false;
  NativePath wide;
  if (!Widen(path, wide)) {
    errno = ENOMEM;
    return nullptr;
  }
  const CeDword attributes = GetFileAttributesW(wide.c_str());
  std::FILE* file = attributes == kCeNoAttributes || (attributes & kCeDirectory) != 0
                        ? nullptr
                        : _wfopen(wide.c_str(), L"rb");
  if (file == nullptr) {
    errno = attributes == kCeNoAttributes ? ENOENT : (attributes & kCeDirectory) != 0 ? EISDIR : EACCES;
    return nullptr;
  }
  // Just opened: the end's offset is its size, and it is read from the start.
  const long end = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
  if (end < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
    (void)std::fclose(file);
    not_regular = true;
    return nullptr;
  }
  size = static_cast<uint64_t>(end);
  return file;
}

}  // namespace tarvelo::platform

namespace tarvelo {

// CE keeps no error texts: the number.
void CopyErrorText(int error_number, char* out, size_t size) noexcept {
  if (out != nullptr && size > 0) {
    (void)std::snprintf(out, size, "error %d", error_number);
  }
}

static_assert(sizeof(wchar_t) == 2, "CE wide paths are UTF-16");

// CE's paths stay in the ANSI code page below the exports.
NarrowedPath::NarrowedPath(const wchar_t* wide) noexcept {
  const size_t capacity = wide != nullptr ? 2 * (std::wcslen(wide) + 1) : 0;
  if (capacity == 0 || (text_ = static_cast<char*>(std::malloc(capacity))) == nullptr) {
    return;
  }
  text_[0] = '\0';
  (void)WideCharToMultiByte(0, 0, wide, -1, text_, static_cast<int>(capacity), nullptr, nullptr);
}

}  // namespace tarvelo
