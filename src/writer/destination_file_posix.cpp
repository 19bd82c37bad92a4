#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "writer/destination_file.h"
#include "writer/temporary_name.h"
#if defined(TARVELO_TEST_SEAMS)
#include "destination_hook.h"  // the tests' copy of this file only (tests/support)
#endif

namespace tarvelo {
namespace {

constexpr int kMaxSymlinkHops = 40;  // as the kernel's own limit for open()
constexpr int kTemporaryNameAttempts = 64;
// A reservation gained nothing for a small new file (bench/RESULTS-pipelines.md)
// and paid for a large one (bench/RESULTS.md); where between them it starts to pay
// was not measured, so small files skip it up to this size.
constexpr uint64_t kPreallocateFrom = uint64_t{1} << 20;
constexpr size_t kCopyBlock = size_t{1} << 18;

// Why a temporary file could not be made beside the target when the target itself
// may still be written: the directory refuses new entries.
bool DirectoryRefusesNewFiles(int error) { return error == EACCES || error == EPERM || error == EROFS; }

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Whether the kernel's link protection (fs.protected_symlinks) lets the caller
// follow a link whose lstat is `status`, held by a directory whose stat is `holder`:
// a link in a sticky directory that everyone may write is followed only when it
// belongs to the caller or to the directory's owner. Others may plant links there;
// following theirs would let them aim our writes at any file we may write. 0 or
// the errno (EACCES).
int MayFollowLink(const struct stat& holder, const struct stat& status) {
  const bool shared = (holder.st_mode & S_ISVTX) != 0 && (holder.st_mode & S_IWOTH) != 0;
  if (!shared || status.st_uid == geteuid() || status.st_uid == holder.st_uid) {
    return 0;
  }
  return EACCES;
}

// The root directory is reached by absolute names ("/tmp"), not through a
// descriptor of "/": an emulator that maps "/" onto a system root of its own
// (qemu-user's -L) maps only the names that exist there.
constexpr int kRoot = -2;

// A directory of the walk below, as the *at() calls take it: `directory` and the
// name of an entry in it.
struct Entry {
  int base;
  std::string name;
};
Entry EntryIn(int directory, const std::string& name) {
  return directory == kRoot ? Entry{AT_FDCWD, "/" + name} : Entry{directory, name};
}

int StatDirectory(int directory, struct stat& status) {
  return (directory == kRoot ? stat("/", &status) : fstat(directory, &status)) == 0 ? 0 : errno;
}

// The text of the link `entry`. 0 or the errno.
int ReadLinkAt(const Entry& entry, std::string& text) {
  text.assign(PATH_MAX, '\0');
  const ssize_t length = readlinkat(entry.base, entry.name.c_str(), text.data(), text.size());
  if (length < 0) {
    return errno;
  }
  if (static_cast<size_t>(length) >= text.size()) {
    return ENAMETOOLONG;
  }
  text.resize(static_cast<size_t>(length));
  return text.empty() ? ENOENT : 0;
}

// Opens the directory `path` names (empty: the working directory) one component
// at a time, never letting the kernel follow a link by itself: each link on the way
// is followed only where MayFollowLink allows, so a link planted in a shared
// directory cannot lead the walk elsewhere, at any depth. `hops` counts the links
// followed, as the kernel counts them. The descriptor (O_PATH) or -1 with `error`.
int OpenDirectoryChecked(const std::string& path, int& hops, int& error) {
  constexpr int kFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  std::string rest = path;
  int directory = !rest.empty() && rest.front() == '/' ? kRoot : open(".", kFlags);
  error = directory == -1 ? errno : 0;
  size_t at = 0;
  while (directory != -1) {
    at = rest.find_first_not_of('/', at);
    if (at == std::string::npos) {
      if (directory == kRoot && (directory = open("/", kFlags)) < 0) {
        error = errno;
      }
      return directory;
    }
    const size_t end = std::min(rest.find('/', at), rest.size());
    const Entry entry = EntryIn(directory, rest.substr(at, end - at));
    at = end;
    struct stat status {};
    struct stat holder {};
    int next = -1;
    if (fstatat(entry.base, entry.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      error = errno;
    } else if (!S_ISLNK(status.st_mode)) {
      // O_NOFOLLOW: a link swapped in since the fstatat fails here (ENOTDIR).
      next = openat(entry.base, entry.name.c_str(), kFlags | O_NOFOLLOW);
      error = next < 0 ? errno : 0;
    } else if (++hops > kMaxSymlinkHops) {
      error = ELOOP;
    } else if ((error = StatDirectory(directory, holder)) == 0 &&
               (error = MayFollowLink(holder, status)) == 0) {
      std::string link;
      if ((error = ReadLinkAt(entry, link)) == 0) {
        rest.replace(0, at, link);
        at = 0;
        if (link.front() != '/') {
          continue;  // a relative link goes on from the directory that holds it
        }
        next = kRoot;
      }
    }
    if (directory >= 0) {
      close(directory);
    }
    directory = next;
  }
  return -1;
}

// A path that reaches `name` in the open `directory` without looking its
// directory up by name again (/proc/self/fd), so that a directory renamed or
// replaced by a link meanwhile cannot redirect what follows; `textual` where /proc
// is not mounted.
std::string ViaDescriptor(int directory, const std::string& name, const std::string& textual) {
  std::string via = "/proc/self/fd/" + std::to_string(directory);
  if (access(via.c_str(), X_OK) != 0) {
    return textual;
  }
  return via.append("/").append(name);
}

// The file that open() would create or truncate: symbolic links followed where the
// kernel would follow them (MayFollowLink), at every component of the path and also
// a dangling one (open creates its target). `directory` receives the target's
// directory, opened once; `target` a path to the target through it (ViaDescriptor)
// and `directory_name` that directory's own name. The last lstat() is the target's
// own status: `status` describes it; `lookup_error` is lstat's errno when there is
// no file.
int ResolveTarget(const char* path, int& directory, std::string& target, std::string& directory_name,
                  struct stat& status, int& lookup_error) {
  std::string textual = path;
  for (int hops = 0; hops <= kMaxSymlinkHops;) {
    directory_name = DirectoryOf(textual);
    const std::string name =
        textual.size() > directory_name.size() ? textual.substr(directory_name.size()) : std::string(1, '.');
    int error = 0;
    const int opened = OpenDirectoryChecked(directory_name, hops, error);
    if (opened < 0) {
      return error;
    }
    if (directory >= 0) {
      close(directory);
    }
    directory = opened;
    target = ViaDescriptor(directory, name, textual);
    if (fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      lookup_error = errno;
      return 0;
    }
    if (!S_ISLNK(status.st_mode)) {
      lookup_error = 0;
      return 0;
    }
    struct stat holder {};
    if (fstat(directory, &holder) != 0) {
      return errno;
    }
    if (const int refused = MayFollowLink(holder, status); refused != 0) {
      return refused;
    }
    std::string link;
    if (const int unreadable = ReadLinkAt({directory, name}, link); unreadable != 0) {
      return unreadable;
    }
    textual = link.front() == '/' ? link : directory_name + link;
    ++hops;
  }
  return ELOOP;
}

// The writer hands over whole blocks (ByteSink::kCapacity), larger than the
// stream's own buffer, which would only split each and copy part of it once more.
void WriteUnbuffered(std::FILE* stream) noexcept { (void)std::setvbuf(stream, nullptr, _IONBF, 0); }

uint64_t RandomBits() {
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    static_assert(sizeof(uintptr_t) <= sizeof(uint64_t));
    bits ^=
        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&bits)) ^ (static_cast<uint64_t>(getpid()) << 32U);
  }
  return bits;
}

// Picks a free temporary name beside `target` (TemporaryName) and claims it with
// `claim(name)`, which returns false with errno set when it could not; EEXIST
// means the name was taken and another is tried. Returns 0 or the errno.
template <typename Claim>
int ClaimTemporaryName(const std::string& target, std::string& temporary, Claim claim) {
  const std::string directory = DirectoryOf(target);
  const std::string name = target.substr(directory.size());
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    temporary = TemporaryName(directory, name, RandomBits());
    if (claim(temporary)) {
      return 0;
    }
    if (errno != EEXIST) {
      const int error = errno;
      temporary.clear();
      return error;
    }
  }
  temporary.clear();
  return EEXIST;
}

// Takes the lock that marks a temporary file as being written (see SweepStrays).
// Held on the open file, so it ends with the writer, however the writer ends.
void MarkBeingWritten(int descriptor) {
  while (flock(descriptor, LOCK_EX | LOCK_NB) != 0 && errno == EINTR) {
  }
}

// Waits for the lock that serialises writers of one file in place.
int LockForWriting(int descriptor) {
  while (flock(descriptor, LOCK_EX) != 0) {
    if (errno != EINTR) {
      // A file system without locks: the write goes ahead unserialised, as before.
      return errno == ENOLCK || errno == EOPNOTSUPP ? 0 : errno;
    }
  }
  return 0;
}

// Creates a new, empty file beside `target` with the permissions a plain open()
// would give a new file (0666 less the umask), marked as being written. A sweep in
// another process may find the name before the mark is taken and remove it: the
// name is then tried again.
int CreateTemporary(const std::string& target, std::string& temporary, int& descriptor) {
  return ClaimTemporaryName(target, temporary, [&descriptor](const std::string& name) {
    descriptor = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (descriptor < 0) {
      return false;
    }
    struct stat opened {};
    struct stat named {};
    if (flock(descriptor, LOCK_EX | LOCK_NB) != 0 && errno != ENOLCK && errno != EOPNOTSUPP) {
      close(descriptor);  // a sweep holds it and removes it
      errno = EEXIST;
      return false;
    }
    if (fstat(descriptor, &opened) != 0 || lstat(name.c_str(), &named) != 0 ||
        opened.st_ino != named.st_ino || opened.st_dev != named.st_dev) {
      close(descriptor);  // removed by a sweep before the mark was taken
      errno = EEXIST;
      return false;
    }
    return true;
  });
}

// Where the kernel and file system allow it (Linux 3.11+, ext4, xfs, btrfs, tmpfs),
// the file is created without a name in the target's directory. It only gets one
// once every byte is written, so a process that is killed or crashes while writing
// leaves nothing behind. Naming it later goes through /proc/self/fd, which must be
// there. Returns -1 where this is not possible; the caller then uses a named file.
int CreateUnnamed(const std::string& target) {
#if defined(O_TMPFILE)
  // Whether /proc is there does not change while a batch runs: asked once. A race
  // between threads only asks twice.
  static std::atomic<int> proc_fd_usable{-1};
  int usable = proc_fd_usable.load(std::memory_order_relaxed);
  if (usable < 0) {
    usable = access("/proc/self/fd", X_OK) == 0 ? 1 : 0;
    proc_fd_usable.store(usable, std::memory_order_relaxed);
  }
  if (usable == 0) {
    return -1;
  }
  const std::string directory = DirectoryOf(target);
  // Readable too: a replacement that is refused is copied over the target instead.
  // Unmarked: nobody can find a file without a name. It is marked as being
  // written when it gets a temporary one (NameUnnamed).
  return open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
#else
  (void)target;
  return -1;
#endif
}

std::string SelfPath(int descriptor) { return "/proc/self/fd/" + std::to_string(descriptor); }

// Gives the unnamed file behind `descriptor` a temporary name beside `target`.
int NameUnnamed(int descriptor, const std::string& target, std::string& temporary) {
  const std::string self = SelfPath(descriptor);
  MarkBeingWritten(descriptor);  // before it has a name a sweep could find
  return ClaimTemporaryName(target, temporary, [&self](const std::string& name) {
    return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
  });
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
  if (named.st_uid == self) {
    return true;
  }
  const std::string_view stem = TemporaryStem(name);
  struct stat replaced {};
  return self == 0 && !stem.empty() &&
         fstatat(directory, std::string(stem).c_str(), &replaced, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(replaced.st_mode) && replaced.st_uid == named.st_uid;
}

// Removes `name` in `directory` when it is a temporary file of ours that its writer
// left behind: a regular file with no other name, owned by this user (OwnerIsOurs),
// that nobody holds marked as being written (MarkBeingWritten). A writer's mark
// lasts as long as the writer has the file open, so a mark that can be taken proves
// the writer gone, whatever became of its process.
void RemoveIfStray(int directory, const char* name) {
  struct stat named {};
  if (fstatat(directory, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode) ||
      named.st_nlink != 1 || !OwnerIsOurs(directory, name, named)) {
    return;
  }
  constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  int descriptor = openat(directory, name, O_RDONLY | kFlags);
  if (descriptor < 0 && errno == EACCES) {
    descriptor = openat(directory, name, O_WRONLY | kFlags);  // a write-only copy of a write-only file
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

// Removes the stray temporary files of ours in `directory` (RemoveIfStray): those a
// writer killed between naming its file and the rename left behind. Each thread
// reads a directory at most once in kSweepInterval.
void SweepStrays(const std::string& name, const std::string& directory) {
  struct Swept {
    size_t name_hash = 0;
    std::chrono::steady_clock::time_point when;
  };
  thread_local std::optional<Swept> last;
  const auto now = std::chrono::steady_clock::now();
  const size_t name_hash = std::hash<std::string>{}(name);
  // A batch writes file after file into one directory: the name and the clock
  // decide without a system call. (Not the directory's inode: a new directory may
  // get the number of one just removed.)
  if (last && name_hash == last->name_hash && now - last->when < temporary_name::kSweepInterval) {
    return;
  }
  const int descriptor =
      open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) {
    return;
  }
  last = Swept{name_hash, now};
  // The listing gets its own descriptor: closedir closes it.
  DIR* listing = fdopendir(dup(descriptor));
  if (listing != nullptr) {
    while (const dirent* entry = readdir(listing)) {
      if (IsTemporaryName(std::string_view(entry->d_name))) {
        RemoveIfStray(descriptor, entry->d_name);
      }
    }
    closedir(listing);
  }
  close(descriptor);
}

// Opens an existing special file (a pipe, a terminal, a device) for writing without
// waiting: a pipe nobody reads would block open() for ever. 0 or the errno.
int OpenSpecial(const char* path, int& descriptor) {
  descriptor = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (descriptor < 0) {
    struct stat status {};
    if (errno == ENXIO && stat(path, &status) == 0 && S_ISFIFO(status.st_mode)) {
      return kPipeWithoutReader;
    }
    return errno;
  }
  struct stat status {};
  const int flags = fcntl(descriptor, F_GETFL);
  if (fstat(descriptor, &status) != 0 || S_ISREG(status.st_mode) || flags < 0 ||
      fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    // A regular file that took the special file's place would be overwritten
    // without the replacement's guarantees.
    const int error = S_ISREG(status.st_mode) ? EAGAIN : errno;
    close(descriptor);
    descriptor = -1;
    return error;
  }
  return 0;
}

// Copies the `size` bytes of `from` over the start of `to`.
int CopyBytes(int from, int to, off_t size) {
  const std::unique_ptr<char[]> heap(new (std::nothrow) char[kCopyBlock]);
  char fallback[4096];
  char* const block = heap != nullptr ? heap.get() : fallback;
  const size_t capacity = heap != nullptr ? kCopyBlock : sizeof fallback;
  for (off_t at = 0; at < size;) {
    const ssize_t got = pread(from, block, capacity, at);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return got < 0 ? errno : EIO;
    }
    for (ssize_t put = 0; put < got;) {
      const ssize_t wrote = pwrite(to, block + put, static_cast<size_t>(got - put), at + put);
      if (wrote < 0 && errno == EINTR) {
        continue;
      }
      if (wrote <= 0) {
        return wrote < 0 ? errno : EIO;
      }
      put += wrote;
    }
    at += got;
  }
  return 0;
}

// Reserves `bytes` for an in-place write of `descriptor` (whose size is
// `old_size`): every block is allocated before an old byte is overwritten, or the
// file is left as it was. 0 or the errno.
int ReserveInPlace(int descriptor, uint64_t bytes, int64_t old_size) {
  // posix_fallocate allocates every block of the range or fails (ENOSPC, EFBIG)
  // before a byte is written; the old bytes inside the range keep their values.
  int error = posix_fallocate(descriptor, 0, static_cast<off_t>(bytes));
  if (error == EOPNOTSUPP || error == EINVAL) {
    // No reservation on this file system: growing the file is the best there is.
    error = bytes > static_cast<uint64_t>(old_size) && ftruncate(descriptor, static_cast<off_t>(bytes)) != 0
                ? errno
                : 0;
  }
  if (error != 0) {
    // A reservation that failed part way may have grown the file.
    (void)!ftruncate(descriptor, old_size);
  }
  return error;
}

// Opens the regular file `target` to be overwritten in place, once no other writer
// of ours is overwriting it (LockForWriting). `old_size` is its size then.
int OpenForOverwrite(const std::string& target, int& descriptor, int64_t& old_size) {
  // No O_TRUNC: the old bytes stay until the new ones have room. No link is
  // followed: the target was found by ResolveTarget.
  descriptor = open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (descriptor < 0) {
    return errno;
  }
  struct stat status {};
  int error = fstat(descriptor, &status) != 0 ? errno : (S_ISREG(status.st_mode) ? 0 : EAGAIN);
  if (error == 0) {
    error = LockForWriting(descriptor);
  }
  if (error == 0 && fstat(descriptor, &status) != 0) {
    error = errno;
  }
  if (error != 0) {
    close(descriptor);
    descriptor = -1;
    return error;
  }
  old_size = status.st_size;
  return 0;
}

// The replacement was refused (a sticky directory: another user's file), yet the
// file may be written: its bytes are overwritten with the complete new file behind
// `complete`, as a plain overwrite would. 0, or the errno when the overwrite failed
// part way; `refused` when the target cannot be written at all.
int OverwriteWithCopy(const std::string& target, int complete, int refused) {
  struct stat finished {};
  if (fstat(complete, &finished) != 0) {
    return errno;
  }
  int descriptor = -1;
  int64_t old_size = 0;
  if (OpenForOverwrite(target, descriptor, old_size) != 0) {
    return refused;
  }
  int error = ReserveInPlace(descriptor, static_cast<uint64_t>(finished.st_size), old_size);
  if (error == 0) {
    error = CopyBytes(complete, descriptor, finished.st_size);
  }
  if (error == 0 && ftruncate(descriptor, finished.st_size) != 0) {
    error = errno;
  }
  if (close(descriptor) != 0 && error == 0) {
    error = errno;
  }
  return error;
}

}  // namespace

DestinationFile::~DestinationFile() { Abandon(); }

void DestinationFile::Abandon() noexcept {
  if (stream_ != nullptr && in_place_ && ftello(stream_) == 0) {
    // Nothing overwritten yet: undo what Reserve may have added.
    (void)!ftruncate(fileno(stream_), old_size_);
  }
  if (stream_ != nullptr) {
    (void)std::fclose(stream_);  // abandoned: its result no longer matters
    stream_ = nullptr;
  }
  if (!temporary_.empty()) {
    unlink(temporary_.c_str());
    temporary_.clear();
  }
  unnamed_ = false;
  in_place_ = false;
  replacing_ = false;
  if (directory_ >= 0) {
    close(directory_);
    directory_ = -1;
  }
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
    struct stat existing {};
    int lookup_error = 0;
    std::string directory_name;
    if (const int error = ResolveTarget(path, directory_, target_, directory_name, existing, lookup_error);
        error != 0) {
      return fail(error);
    }
    bool exists = lookup_error == 0;
    if (!exists && lookup_error != ENOENT) {
      return fail(lookup_error);
    }
    if (!exists && target_ != path && stat(path, &existing) == 0 && !S_ISREG(existing.st_mode) &&
        !S_ISDIR(existing.st_mode)) {
      // A link in /proc/self/fd (what /dev/stdout leads to) reads "pipe:[N]" when
      // followed by hand: only the kernel's own lookup finds the pipe.
      exists = true;
    }
    if (exists && S_ISDIR(existing.st_mode)) {
      return fail(EISDIR);
    }
    if (exists && !S_ISREG(existing.st_mode)) {
      // The path as given: a link in /proc (/dev/stdout) names a pipe or a socket
      // that only opening the link itself reaches.
      int descriptor = -1;
      if (const int error = OpenSpecial(path, descriptor); error != 0) {
        return fail(error);
      }
      stream_ = fdopen(descriptor, "wb");
      if (stream_ == nullptr) {
        const int error = errno;
        close(descriptor);
        return fail(error);
      }
      WriteUnbuffered(stream_);
      return true;
    }
    if (exists) {
      // Replacing must need the same right as truncating: write access to the file.
      const int probe = open(target_.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
      if (probe < 0) {
        return fail(errno);
      }
      close(probe);
    }
    replacing_ = exists;
    int descriptor = CreateUnnamed(target_);
    unnamed_ = descriptor >= 0;
    if (!unnamed_) {
      if (const int error = CreateTemporary(target_, temporary_, descriptor); error != 0) {
        if (!exists || !DirectoryRefusesNewFiles(error)) {
          return fail(error);
        }
        return OpenInPlace(failure);
      }
    }
    if (exists) {
      // The replacement keeps the owner (where allowed) and the permissions.
      (void)!fchown(descriptor, existing.st_uid, existing.st_gid);
      (void)!fchmod(descriptor, existing.st_mode & 07777);
    }
    stream_ = fdopen(descriptor, "wb");
    if (stream_ == nullptr) {
      const int error = errno;
      close(descriptor);
      Abandon();
      return fail(error);
    }
    WriteUnbuffered(stream_);
    SweepStrays(directory_name, DirectoryOf(target_));
    return true;
  } catch (const std::bad_alloc&) {
    Abandon();
    return fail(ENOMEM);
  }
}

bool DestinationFile::OpenInPlace(WriteFailure& failure) noexcept {
  int descriptor = -1;
  if (const int error = OpenForOverwrite(target_, descriptor, old_size_); error != 0) {
    failure = {WriteFailureKind::kOpenFailed, error};
    return false;
  }
  stream_ = fdopen(descriptor, "wb");
  if (stream_ == nullptr) {
    failure = {WriteFailureKind::kOpenFailed, errno};
    close(descriptor);
    return false;
  }
  WriteUnbuffered(stream_);
  in_place_ = true;
  return true;
}

bool DestinationFile::Reserve(uint64_t bytes, WriteFailure& failure) noexcept {
  if (stream_ == nullptr || bytes == 0) {
    return true;
  }
  if (bytes > INT64_MAX) {
    failure = {WriteFailureKind::kWriteFailed, EFBIG};
    return false;
  }
  const int descriptor = fileno(stream_);
  if (in_place_) {
    if (const int error = ReserveInPlace(descriptor, bytes, old_size_); error != 0) {
      failure = {WriteFailureKind::kWriteFailed, error};
      return false;
    }
    return true;
  }
#if defined(__linux__)
  // Only a new temporary file: a device or pipe written directly has no blocks.
  // The size stays at what is written (FALLOC_FL_KEEP_SIZE). Failure (a file
  // system without it, no space) is left to the writes themselves to report.
  if ((unnamed_ || !temporary_.empty()) && bytes >= kPreallocateFrom) {
    (void)fallocate(descriptor, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes));
  }
#endif
  return true;
}

int DestinationFile::MoveIntoPlace(int complete) {
  if (unnamed_ && !replacing_) {
    // Nothing to replace: the file gets its final name at once, and a process
    // killed now leaves either nothing or the complete file.
    if (linkat(AT_FDCWD, SelfPath(complete).c_str(), AT_FDCWD, target_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      return 0;
    }
    if (errno != EEXIST) {
      return errno;
    }
    // A file appeared meanwhile: it is replaced as one that was there from the
    // start would be, if it may be written.
    const int probe = open(target_.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (probe < 0) {
      return errno == ELOOP ? EEXIST : errno;
    }
    close(probe);
    replacing_ = true;
  }
  if (unnamed_) {
    if (const int error = NameUnnamed(complete, target_, temporary_); error != 0) {
      return error;
    }
  }
#if defined(TARVELO_TEST_SEAMS)
  test_seams::RunTemporaryNamedHook();
#endif
  if (std::rename(temporary_.c_str(), target_.c_str()) == 0) {
    temporary_.clear();
    return 0;
  }
  const int refused = errno;
  if (!replacing_ || (refused != EPERM && refused != EACCES)) {
    return refused;
  }
  // A sticky directory keeps another user's file from being replaced, while the
  // file itself may be written: overwrite it, as a plain open would.
  const int error = OverwriteWithCopy(target_, complete, refused);
  if (error == 0) {
    unlink(temporary_.c_str());
    temporary_.clear();
  }
  return error;
}

bool DestinationFile::Commit(WriteFailure& failure) noexcept {
  if (stream_ == nullptr) {
    failure = {WriteFailureKind::kWriteFailed, EBADF};
    return false;
  }
  int error = 0;
  if (std::fflush(stream_) != 0) {
    error = errno;
  } else if (std::ferror(stream_) != 0) {
    error = EIO;
  }
  if (error == 0 && in_place_) {
    // The new file may be shorter than the old one.
    const off_t end = ftello(stream_);
    if (end < 0 || ftruncate(fileno(stream_), end) != 0) {
      error = errno;
    }
  }
  // The complete file stays open (and marked as being written) until it is in
  // place; closing the stream first still reports a close error before that.
  int complete = -1;
  if (error == 0 && (unnamed_ || !temporary_.empty())) {
    complete = fcntl(fileno(stream_), F_DUPFD_CLOEXEC, 0);
    if (complete < 0) {
      error = errno;
    }
  }
  std::FILE* stream = stream_;
  stream_ = nullptr;
  if (std::fclose(stream) != 0 && error == 0) {
    error = errno;
  }
  if (error == 0 && complete >= 0) {
    try {
      error = MoveIntoPlace(complete);
    } catch (const std::bad_alloc&) {
      error = ENOMEM;
    }
  }
  if (complete >= 0) {
    close(complete);
  }
  if (error != 0) {
    Abandon();
    failure = {WriteFailureKind::kWriteFailed, error};
    return false;
  }
  temporary_.clear();
  unnamed_ = false;
  in_place_ = false;
  replacing_ = false;
  return true;
}

}  // namespace tarvelo
