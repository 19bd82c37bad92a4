#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string_view>

#include "platform/file_system.h"
#include "platform/text_copy.h"
#include "writer/temporary_name.h"

namespace tarvelo::platform {
namespace {

constexpr int kOpenExisting = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

int Result(bool done) { return done ? 0 : errno; }

// Ends a failed Locate: nothing stays open.
int Fail(Located& found, int error) {
  if (found.directory >= 0) {
    close(static_cast<int>(found.directory));
  }
  found = Located{};
  return error;
}

constexpr int kMaxSymlinkHops = 40;  // as the kernel's own limit for open()
using Text = NativePath;

// A descriptor's number as text (kSelf and it).
constexpr std::string_view kSelf = "/proc/self/fd/";
Text SelfPath(long number) {
  char text[40];
  (void)std::snprintf(text, sizeof text, "%s%ld", kSelf.data(), number);
  return text;
}

// Whether the kernel's link protection (fs.protected_symlinks) lets the caller
// follow a link whose lstat is `status`, held by a directory whose stat is `holder`:
// a link in a sticky directory that everyone may write is followed only when it
// belongs to the caller or to the directory's owner. Others may plant links there;
// following theirs would let them aim our writes at any file we may write. 0 or
// the errno (EACCES).
int MayFollowLink(const struct stat& holder, const struct stat& status) {
  const bool shared = (holder.st_mode & S_ISVTX) != 0 && (holder.st_mode & S_IWOTH) != 0;
  return !shared || status.st_uid == geteuid() || status.st_uid == holder.st_uid ? 0 : EACCES;
}

// The root directory is reached by absolute names ("/tmp"), not through a
// descriptor of "/": an emulator that maps "/" onto a system root of its own
// (qemu-user's -L) maps only the names that exist there.
constexpr int kRoot = -2;

int StatDirectory(int directory, struct stat& status) {
  return Result((directory == kRoot ? stat("/", &status) : fstat(directory, &status)) == 0);
}

// The text of the link `name` in `base` (as the *at() calls take them) into the empty
// `text`. 0 or the errno.
int ReadLinkAt(int base, const Text& name, Text& text) {
  char link[PATH_MAX];
  const ssize_t length = readlinkat(base, name.c_str(), link, sizeof link);
  if (length < 0) {
    return errno;
  }
  if (static_cast<size_t>(length) >= sizeof link) {
    return ENAMETOOLONG;
  }
  text.Append(link, static_cast<size_t>(length));
  return text.failed() ? ENOMEM : (text.empty() ? ENOENT : 0);
}

// Opens the directory `path` names (empty: the working directory) one component
// at a time, never letting the kernel follow a link by itself: each link on the way
// is followed only where MayFollowLink allows, so a link planted in a shared
// directory cannot lead the walk elsewhere, at any depth. `hops` counts the links
// followed, as the kernel counts them. The descriptor (O_PATH) or -1 with `error`.
constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// Where a walk of `path` from its first character begins: the working directory,
// the root, or, for a path through /proc/self/fd/N/ (how a caller names a directory
// it holds open), that open directory itself, which is where the kernel's own
// lookup jumps without reading any name. Sets `at` past the part it stands for.
int WalkStart(const Text& path, size_t& at) {
  at = 0;
  if (path.empty() || path.front() != '/') {
    return open(".", kDirectoryFlags);
  }
  size_t end = kSelf.size();
  int number = 0;
  for (; end < path.size() && path[end] >= '0' && path[end] <= '9' && number < 100000000; ++end) {
    number = number * 10 + (path[end] - '0');
  }
  if (!std::string_view(path.c_str(), path.size()).starts_with(kSelf) || end == kSelf.size() ||
      (end < path.size() && path[end] != '/')) {
    return kRoot;
  }
  at = end;
  const int directory = openat(number, ".", kDirectoryFlags);
  if (directory < 0 && errno == EBADF) {
    errno = ENOENT;  // as the kernel finds no such entry in /proc/self/fd
  }
  return directory;
}

int OpenDirectoryChecked(const Text& path, int& hops, int& error) {
  Text rest = path;
  size_t at = 0;
  int directory = WalkStart(rest, at);
  error = directory == -1 ? errno : 0;
  while (directory != -1) {
    at = rest.Find('/', at, false);
    if (at == Text::npos) {
      if (directory == kRoot && (directory = open("/", kDirectoryFlags)) < 0) {
        error = errno;
      }
      return directory;
    }
    const size_t end = std::min(rest.Find('/', at), rest.size());
    const int base = directory == kRoot ? AT_FDCWD : directory;
    const Text name = directory == kRoot ? Text("/") + rest.Slice(at, end - at) : rest.Slice(at, end - at);
    at = end;
    struct stat status {};
    struct stat holder {};
    int next = -1;
    if (name.failed()) {
      error = ENOMEM;
    } else if (fstatat(base, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      error = errno;
    } else if (!S_ISLNK(status.st_mode)) {
      // O_NOFOLLOW: a link swapped in since the fstatat fails here (ENOTDIR).
      next = openat(base, name.c_str(), kDirectoryFlags | O_NOFOLLOW);
      error = next < 0 ? errno : 0;
    } else if (++hops > kMaxSymlinkHops) {
      error = ELOOP;
    } else if ((error = StatDirectory(directory, holder)) == 0 &&
               (error = MayFollowLink(holder, status)) == 0) {
      Text link;
      if ((error = ReadLinkAt(base, name, link)) == 0) {
        rest = link + rest.Slice(at);
        if (link.front() != '/') {
          at = 0;
          continue;  // a relative link goes on from the directory that holds it
        }
        next = WalkStart(rest, at);
        error = next == -1 ? errno : 0;
      }
    }
    if (directory >= 0) {
      close(directory);
    }
    directory = next;
  }
  return -1;
}

// Whether /proc/self/fd is there. That does not change while a batch runs: asked
// once; a race between threads only asks twice.
bool SelfPathsWork() {
  static std::atomic<int> usable{-1};
  if (usable.load(std::memory_order_relaxed) < 0) {
    usable.store(access(kSelf.data(), X_OK) == 0 ? 1 : 0, std::memory_order_relaxed);
  }
  return usable.load(std::memory_order_relaxed) == 1;
}

int CheckWritable(const Text& path) {
  const int probe = open(path.c_str(), O_WRONLY | kOpenExisting);
  if (probe < 0) {
    return errno == ELOOP ? EEXIST : errno;  // a link that appeared there
  }
  close(probe);
  return 0;
}

// The file that open() would create or truncate: symbolic links followed where the
// kernel would follow them (MayFollowLink), at every component of the path and also
// a dangling one (open creates its target).
int Locate(const char* path, Located& found) {
  found = Located{};
  Text textual = path;
  struct stat status {};
  for (int hops = 0;; ++hops) {
    if (hops > kMaxSymlinkHops) {
      return Fail(found, ELOOP);
    }
    const size_t slash = textual.FindLast('/', '/');
    found.directory_name = textual.Slice(0, slash == Text::npos ? 0 : slash + 1);
    found.name =
        textual.size() > found.directory_name.size() ? textual.Slice(found.directory_name.size()) : Text(".");
    int error = textual.failed() || found.name.failed() ? ENOMEM : 0;
    if (error != 0) {
      return Fail(found, error);
    }
    const int opened = OpenDirectoryChecked(found.directory_name, hops, error);
    if (opened < 0) {
      return Fail(found, error);
    }
    if (found.directory >= 0) {
      close(static_cast<int>(found.directory));
    }
    found.directory = opened;
    // Names in the directory are reached without looking it up by name again, so
    // that a directory renamed or replaced by a link meanwhile cannot redirect what
    // follows; by its name only where /proc is not mounted.
    found.directory_path = SelfPathsWork() ? SelfPath(opened).Append('/') : found.directory_name;
    if (fstatat(opened, found.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) {
        return Fail(found, errno);
      }
      // A link in /proc/self/fd (what /dev/stdout leads to) reads "pipe:[N]" when
      // followed by hand: only the kernel's own lookup finds the pipe.
      const bool special =
          hops > 0 && stat(path, &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode);
      found.kind = special ? FileKind::kSpecial : FileKind::kMissing;
      return 0;
    }
    if (!S_ISLNK(status.st_mode)) {
      break;
    }
    struct stat holder {};
    Text link;
    if ((error = StatDirectory(opened, holder)) != 0 || (error = MayFollowLink(holder, status)) != 0 ||
        (error = ReadLinkAt(opened, found.name, link)) != 0) {
      return Fail(found, error);
    }
    textual = link.front() == '/' ? link : found.directory_name + link;
  }
  found.kind = S_ISDIR(status.st_mode)   ? FileKind::kDirectory
               : S_ISREG(status.st_mode) ? FileKind::kRegular
                                         : FileKind::kSpecial;
  found.owner = status.st_uid;
  found.group = status.st_gid;
  found.mode = status.st_mode & 07777;
  if (found.directory_path.failed()) {
    return Fail(found, ENOMEM);
  }
  // Replacing must need the same right as truncating: write access to the file.
  const int refused = found.kind == FileKind::kRegular ? CheckWritable(found.directory_path + found.name) : 0;
  return refused == 0 ? 0 : Fail(found, refused);
}

// A stream on `descriptor`, which it then owns; null with errno (the descriptor
// closed) when it cannot be made. Unbuffered: the writer hands over whole blocks,
// larger than the stream's own buffer, and a source is read whole.
std::FILE* Stream(int descriptor, const char* mode) {
  std::FILE* stream = fdopen(descriptor, mode);
  if (stream == nullptr) {
    const int error = errno;
    close(descriptor);
    errno = error;
    return nullptr;
  }
  (void)std::setvbuf(stream, nullptr, _IONBF, 0);
  return stream;
}

bool SameFile(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Whether the temporary file `name` in `directory` (its lstat `named`) has an owner
// whose strays this user may remove: this user; and for root also the owner of the
// file it was made to replace, when that file is still there and theirs. A
// replacement takes the replaced file's owner (Open), so root killed while
// replacing another user's file leaves a temporary file of theirs beside it.
bool OwnerIsOurs(int directory, std::string_view name, const struct stat& named) {
  const uid_t self = geteuid();
  const std::string_view stem = TemporaryStem(name);
  struct stat replaced {};
  return named.st_uid == self || (self == 0 && !stem.empty() &&
                                  fstatat(directory, Text().Append(stem.data(), stem.size()).c_str(),
                                          &replaced, AT_SYMLINK_NOFOLLOW) == 0 &&
                                  S_ISREG(replaced.st_mode) && replaced.st_uid == named.st_uid);
}

// Removes `name` in `directory` when it is a temporary file of ours that its writer
// left behind: a regular file with no other name, owned by this user (OwnerIsOurs),
// that nobody holds marked as being written (CreateNew, NameUnnamed). A writer's mark
// lasts as long as the writer has the file open, so a mark that can be taken proves
// the writer gone, whatever became of its process.
void RemoveIfStray(const Located& found, const Text& path_name) {
  const int directory = static_cast<int>(found.directory);
  const char* const name = path_name.c_str();
  struct stat named {};
  if (fstatat(directory, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode) ||
      named.st_nlink != 1 || !OwnerIsOurs(directory, name, named)) {
    return;
  }
  int descriptor = openat(directory, name, O_RDONLY | kOpenExisting);
  if (descriptor < 0 && errno == EACCES) {
    descriptor = openat(directory, name, O_WRONLY | kOpenExisting);  // a write-only copy of a write-only file
  }
  if (descriptor < 0) {
    return;
  }
  struct stat opened {};
  struct stat again {};
  if (fstat(descriptor, &opened) == 0 && SameFile(opened, named) &&
      flock(descriptor, LOCK_EX | LOCK_NB) == 0 &&
      fstatat(directory, name, &again, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(again, named)) {
    (void)unlinkat(directory, name, 0);
  }
  close(descriptor);
}

// Opens an existing special file (a pipe, a terminal, a device) for writing without
// waiting: a pipe nobody reads would block open() for ever. 0 or the errno.
int OpenSpecial(const char* path, std::FILE*& stream) {
  const int descriptor = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  struct stat status {};
  if (descriptor < 0) {
    if (errno == ENXIO && stat(path, &status) == 0 && S_ISFIFO(status.st_mode)) {
      return kPipeWithoutReader;
    }
    return errno;
  }
  const int flags = fcntl(descriptor, F_GETFL);
  if (fstat(descriptor, &status) != 0 || S_ISREG(status.st_mode) || flags < 0 ||
      fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    // A regular file that took the special file's place would be overwritten
    // without the replacement's guarantees.
    const int error = S_ISREG(status.st_mode) ? EAGAIN : errno;
    close(descriptor);
    return error;
  }
  stream = Stream(descriptor, "wb");
  return stream != nullptr ? 0 : errno;
}

// A new, empty file with the permissions a plain open() would give a new file
// (0666 less the umask), marked as being written. A sweep in another process may
// find the name before the mark is taken and remove it: EEXIST, so that another
// name is tried.
int CreateNew(const Text& path, Handle& file) {
  const int descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  if (descriptor < 0) {
    return errno;
  }
  struct stat opened {};
  struct stat named {};
  if ((flock(descriptor, LOCK_EX | LOCK_NB) != 0 && errno != ENOLCK && errno != EOPNOTSUPP) ||
      fstat(descriptor, &opened) != 0 || lstat(path.c_str(), &named) != 0 || !SameFile(opened, named)) {
    close(descriptor);  // a sweep holds it, or removed it before the mark was taken
    return EEXIST;
  }
  file = descriptor;
  return 0;
}

// Where the kernel and file system allow it (Linux 3.11+, ext4, xfs, btrfs, tmpfs),
// the file is created without a name, so a process killed while writing leaves
// nothing behind. Naming it later goes through /proc/self/fd, which must be there.
Handle CreateUnnamed(const Located& found) {
  // Readable too: a replacement that is refused is copied over the target instead.
  // Unmarked: nobody can find a file without a name (NameUnnamed marks it).
  const int descriptor =
      !SelfPathsWork() ? -1
                       : openat(static_cast<int>(found.directory), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  return descriptor < 0 ? kNoHandle : descriptor;
}

int NameUnnamed(Handle file, const Text& path) {
  // The lock that marks a temporary file as being written (see RemoveIfStray), taken
  // before it has a name a sweep could find; it ends with the writer, however it ends.
  (void)flock(static_cast<int>(file), LOCK_EX | LOCK_NB);
  const Text self = SelfPath(static_cast<long>(file));
  return Result(linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0);
}

void KeepOwner(Handle file, const Located& found) {
  (void)!fchown(static_cast<int>(file), found.owner, found.group);
  (void)!fchmod(static_cast<int>(file), found.mode);
}

int OpenInPlace(const Text& path, Handle& file, int64_t& size) {
  // No O_TRUNC: the old bytes stay until the new ones have room.
  const int descriptor = open(path.c_str(), O_WRONLY | kOpenExisting);
  if (descriptor < 0) {
    return errno;
  }
  struct stat status {};
  int error = fstat(descriptor, &status) != 0 ? errno : (S_ISREG(status.st_mode) ? 0 : EAGAIN);
  // Waits for the lock that serialises writers of one file in place.
  for (; error == 0 && flock(descriptor, LOCK_EX) != 0; error = errno == EINTR ? 0 : errno) {
  }
  // A file system without locks: the write goes ahead unserialised, as before.
  if (error == 0 || error == ENOLCK || error == EOPNOTSUPP) {
    error = Result(fstat(descriptor, &status) == 0);
  }
  if (error != 0) {
    close(descriptor);
    return error;
  }
  file = descriptor;
  size = status.st_size;
  return 0;
}

int Reserve(Handle file, uint64_t bytes, int64_t old_size) {
  const int descriptor = static_cast<int>(file);
  if (old_size < 0) {
    // The size stays at what is written (FALLOC_FL_KEEP_SIZE).
    (void)fallocate(descriptor, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes));
    return 0;
  }
  // posix_fallocate allocates every block of the range or fails (ENOSPC, EFBIG)
  // before a byte is written; the old bytes inside the range keep their values.
  const int error = posix_fallocate(descriptor, 0, static_cast<off_t>(bytes));
  return error == EOPNOTSUPP || error == EINVAL ? ENOTSUP : error;  // a file system without it
}

// pread or pwrite of up to `size` bytes at offset `at`; none done is EIO.
template <auto kCall, typename Data>
int Transfer(Handle file, Data data, size_t size, int64_t at, size_t& moved) {
  ssize_t done = 0;
  while ((done = kCall(static_cast<int>(file), data, size, at)) < 0 && errno == EINTR) {
  }
  moved = done > 0 ? static_cast<size_t>(done) : 0;
  return done > 0 ? 0 : (done < 0 ? errno : EIO);
}

void List(const Located& found, void (*visit)(void* context, const Text& name), void* context) {
  const int descriptor = openat(static_cast<int>(found.directory), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = descriptor < 0 ? nullptr : fdopendir(descriptor);
  if (listing == nullptr) {
    if (descriptor >= 0) {
      close(descriptor);
    }
    return;
  }
  while (const dirent* entry = readdir(listing)) {
    visit(context, entry->d_name);
  }
  closedir(listing);
}

uint64_t RandomBits() {
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    bits ^=
        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&bits)) ^ (static_cast<uint64_t>(getpid()) << 32U);
  }
  return bits;
}

uint64_t SecondsNow() {
  timespec now{};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec);
}

}  // namespace

FileSystem files = {
    Locate,
    OpenSpecial,
    CreateUnnamed,
    CreateNew,
    NameUnnamed,
    CheckWritable,
    [](const Text& from, const Text& to) { return Result(std::rename(from.c_str(), to.c_str()) == 0); },
    [](const Text& path) { return Result(unlink(path.c_str()) == 0); },
    KeepOwner,
    OpenInPlace,
    Reserve,
    [](Handle file, int64_t size) { return Result(ftruncate(static_cast<int>(file), size) == 0); },
    Transfer<pread, void*>,
    Transfer<pwrite, const void*>,
    [](Handle file) { return Stream(static_cast<int>(file), "wb"); },
    [](Handle file) -> Handle { return fcntl(static_cast<int>(file), F_DUPFD_CLOEXEC, 0); },
    [](Handle file) { return Result(close(static_cast<int>(file)) == 0); },
    List,
    RemoveIfStray,
    RandomBits,
    SecondsNow,
    [] {
      const timespec moment{.tv_sec = 0, .tv_nsec = 1000000};
      (void)nanosleep(&moment, nullptr);
    },
};

std::FILE* OpenSourceFile(const char* path, bool& not_regular, uint64_t& size) noexcept {
  not_regular = false;
  // A special file is not even opened where it can be told from its name: opening
  // some devices does something.
  struct stat status {};
  if (stat(path, &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
    not_regular = true;
    return nullptr;
  }
  // O_NONBLOCK: a pipe put in the file's place meanwhile must not block open().
  // Reading a regular file ignores it, and nothing else is read.
  const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (descriptor < 0) {
    return nullptr;
  }
  const bool known = fstat(descriptor, &status) == 0;
  if (!known || !S_ISREG(status.st_mode)) {
    const int error = known ? EISDIR : errno;  // opening a directory for reading succeeds here
    not_regular = known && !S_ISDIR(status.st_mode);
    close(descriptor);
    errno = error;
    return nullptr;
  }
  size = static_cast<uint64_t>(status.st_size);
  return Stream(descriptor, "rb");
}

}  // namespace tarvelo::platform

namespace tarvelo {

void CopyErrorText(int error_number, char* out, size_t size) noexcept {
  char message[256] = {};
  // GNU's strerror_r: the text, which need not be in `message`.
  CopyText(strerror_r(error_number, message, sizeof message), out, size);
}

static_assert(sizeof(wchar_t) == 4, "UTF-8 narrowing expects wchar_t to hold UTF-32");

// Written into room for the longest encoding, 4 bytes a unit.
NarrowedPath::NarrowedPath(const wchar_t* wide) noexcept {
  // PATH_MAX counts the terminator: a longer path no system call takes.
  const size_t units = wide != nullptr ? std::wcslen(wide) : PATH_MAX;
  if (units >= PATH_MAX || (text_ = static_cast<char*>(std::malloc(4 * units + 1))) == nullptr) {
    return;
  }
  size_t bytes = 0;
  for (const wchar_t* in = wide; *in != L'\0'; ++in) {
    auto cp = static_cast<char32_t>(*in);
    cp = cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF) ? cp : U'?';  // '?' for no scalar value
    const size_t length = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    // The lead byte carries the length in its high bits, then 6 bits a byte follow.
    constexpr uint32_t kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (size_t at = 0; at < length; ++at) {
      const uint32_t bits = (cp >> (6 * (length - 1 - at))) & (at == 0 ? 0xFFU : 0x3FU);
      text_[bytes + at] = static_cast<char>(at == 0 ? kLead[length] | bits : 0x80U | bits);
    }
    bytes += length;
  }
  text_[bytes] = '\0';
  if (bytes >= PATH_MAX) {
    std::free(text_);
    text_ = nullptr;
  }
}

}  // namespace tarvelo
