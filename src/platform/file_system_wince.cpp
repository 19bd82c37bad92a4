// Windows CE's slot of the file primitives. The library's paths are the exports'
// ANSI text here; each call widens them again for CE's wide file calls. CE has no
// links, no owners, no unnamed files, no byte-range locks and no stream on a
// handle, so:
//   - a new file's name is claimed with CREATE_NEW and its handle closed at once;
//     the Handle is then the file's wide name, which `stream` opens with _wfopen
//     ("wb") and frees; `handle_of` and `duplicate` only carry the stream along;
//   - the replacement of an existing file is DeleteAndRenameFile, as MoveFileW
//     never replaces one; nothing writes a destination in place;
//   - nothing is swept: a temporary file that a power loss left stays.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "platform/coredll.h"
#include "platform/file_system.h"

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

// `text` (the ANSI code page's) as a new wide string; null when it cannot be had.
wchar_t* Widen(const char* text) {
  const int units = MultiByteToWideChar(0, 0, text, -1, nullptr, 0);
  auto* wide =
      static_cast<wchar_t*>(units > 0 ? std::malloc(sizeof(wchar_t) * static_cast<size_t>(units)) : nullptr);
  if (wide != nullptr && MultiByteToWideChar(0, 0, text, -1, wide, units) == 0) {
    std::free(wide);
    return nullptr;
  }
  return wide;
}

// Runs `call` on the wide form of `path`; ENOMEM when it cannot be made.
template <typename Call>
int OnWide(const char* path, Call call) {
  wchar_t* wide = Widen(path);
  if (wide == nullptr) {
    return ENOMEM;
  }
  const int result = call(wide);
  std::free(wide);
  return result;
}

int Locate(const char* path, Located& found) {
  found = Located{};
  const int error = OnWide(path, [&found](const wchar_t* wide) {
    const CeDword attributes = GetFileAttributesW(wide);
    if (attributes == kCeNoAttributes) {
      return GetLastError() == kFileNotFound || GetLastError() == kPathNotFound ? 0 : LastErrno();
    }
    found.kind = (attributes & kCeDirectory) != 0 ? FileKind::kDirectory : FileKind::kRegular;
    return (attributes & (kCeDirectory | kCeReadOnly)) == kCeReadOnly ? EACCES : 0;
  });
  if (error != 0) {
    return error;
  }
  const NativePath target(path);
  const size_t separator = target.FindLast('\\', '/');
  found.directory_path = target.Slice(0, separator == NativePath::npos ? 0 : separator + 1);
  found.name = target.Slice(found.directory_path.size());
  found.directory_name = found.directory_path;
  return target.failed() || found.name.failed() || found.directory_name.failed() ? ENOMEM : 0;
}

int CreateNew(const NativePath& path, Handle& file) {
  wchar_t* wide = Widen(path.c_str());
  if (wide == nullptr) {
    return ENOMEM;
  }
  CeHandle created = CreateFileW(wide, kGenericWrite, 0, nullptr, kCreateNew, kNormal, nullptr);
  if (reinterpret_cast<intptr_t>(created) == kCeInvalidHandle) {
    const int error = LastErrno();
    std::free(wide);
    return error;
  }
  (void)CloseHandle(created);
  file = reinterpret_cast<Handle>(wide);
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
  return OnWide(from.c_str(), [&to](const wchar_t* wide_from) {
    return OnWide(to.c_str(), [wide_from](const wchar_t* wide_to) {
      const bool exists = GetFileAttributesW(wide_to) != kCeNoAttributes;
      const int done = exists ? DeleteAndRenameFile(wide_to, wide_from) : MoveFileW(wide_from, wide_to);
      // Not EACCES: nothing here may write the destination in place instead.
      return done != 0 ? 0 : LastErrno() == EACCES ? EBUSY : LastErrno();
    });
  });
}

uint64_t NameBits() {
  // CREATE_NEW makes a name safe; these only spread them, across threads too.
  static uint32_t counter = 0;
  uint64_t bits = (uint64_t{GetTickCount()} << 32U) ^ reinterpret_cast<uintptr_t>(&bits) ^
                  (__sync_add_and_fetch(&counter, 1U) * 0x9E3779B97F4A7C15U);
  bits ^= bits >> 31U;
  bits *= 0xBF58476D1CE4E5B9U;
  return bits ^ (bits >> 29U);
}

}  // namespace

FileSystem files = {
    Locate,
    [](const char*, std::FILE*&) { return ENOTSUP; },
    [](const NativePath& path) {
      return OnWide(path.c_str(), [](const wchar_t* wide) {
        return (GetFileAttributesW(wide) & (kCeDirectory | kCeReadOnly)) == kCeReadOnly ? EACCES : 0;
      });
    },
    [](const Located&) { return kNoHandle; },
    CreateNew,
    [](Handle, const NativePath&) { return ENOSYS; },
    Replace,
    [](const NativePath& path) {
      return OnWide(path.c_str(),
                    [](const wchar_t* wide) { return DeleteFileW(wide) != 0 ? 0 : LastErrno(); });
    },
    [](Handle, const Located&) {},
    [](const NativePath&, Handle&, int64_t&) { return ENOSYS; },
    [](Handle, uint64_t, int64_t) { return 0; },
    [](Handle, int64_t) { return ENOSYS; },
    [](Handle, void*, size_t, int64_t, size_t& got) {
      got = 0;
      return ENOSYS;
    },
    [](Handle, const void*, size_t, int64_t, size_t& put) {
      put = 0;
      return ENOSYS;
    },
    Stream,
    [](std::FILE* stream) { return reinterpret_cast<Handle>(stream); },
    [](Handle file) { return file; },
    [](Handle) { return 0; },  // the stream owned what the handle named
    [](const Located&, void (*)(void*, const NativePath&), void*) {},
    [](const Located&, const NativePath&) {},
    NameBits,
    [] { return uint64_t{GetTickCount() / 1000U}; },
    // Sleep(0) would yield to threads of the same priority only.
    [] { Sleep(1); },
};

std::FILE* OpenSourceFile(const char* path, bool& not_regular) noexcept {
  not_regular = false;
  wchar_t* wide = Widen(path);
  if (wide == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  const CeDword attributes = GetFileAttributesW(wide);
  std::FILE* file =
      attributes == kCeNoAttributes || (attributes & kCeDirectory) != 0 ? nullptr : _wfopen(wide, L"rb");
  std::free(wide);
  if (file == nullptr) {
    errno = attributes == kCeNoAttributes ? ENOENT : (attributes & kCeDirectory) != 0 ? EISDIR : EACCES;
  }
  return file;
}

bool SourceFileSize(std::FILE* file, uint64_t& size) noexcept {
  const long start = std::ftell(file);
  if (start < 0 || std::fseek(file, 0, SEEK_END) != 0) {
    return false;
  }
  const long end = std::ftell(file);
  if (std::fseek(file, start, SEEK_SET) != 0 || end < 0) {
    return false;
  }
  size = static_cast<uint64_t>(end);
  return true;
}

}  // namespace tarvelo::platform
