#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <utility>

#include "writer/destination_file.h"

namespace tarvelo {
namespace {

constexpr int kMaxSymlinkHops = 40;         // as the kernel's own limit for open()
constexpr size_t kMaxStemInTemporary = 96;  // keeps the temporary name under NAME_MAX
constexpr int kTemporaryNameAttempts = 64;
// A reservation gained nothing for a small new file (bench/RESULTS-pipelines.md)
// and paid for a large one (bench/RESULTS.md); where between them it starts to pay
// was not measured, so small files skip it up to this size.
constexpr uint64_t kPreallocateFrom = uint64_t{1} << 20;

// Why a temporary file could not be made beside the target when the target itself
// may still be written: the directory refuses new entries.
bool DirectoryRefusesNewFiles(int error) { return error == EACCES || error == EPERM || error == EROFS; }

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file that open() would create or truncate: symbolic links followed, also a
// dangling one (open creates its target). The last lstat() is the target's own
// status, which spares the caller a stat(): `found` says whether there is a file,
// `status` describes it; `lookup_error` is lstat's errno otherwise.
int ResolveTarget(const char* path, std::string& target, struct stat& status, int& lookup_error) {
  target = path;
  for (int hop = 0; hop < kMaxSymlinkHops; ++hop) {
    if (lstat(target.c_str(), &status) != 0) {
      lookup_error = errno;
      return 0;
    }
    if (!S_ISLNK(status.st_mode)) {
      lookup_error = 0;
      return 0;
    }
    std::string link(PATH_MAX, '\0');
    const ssize_t length = readlink(target.c_str(), link.data(), link.size());
    if (length < 0) {
      return errno;
    }
    if (static_cast<size_t>(length) >= link.size()) {
      return ENAMETOOLONG;
    }
    if (length == 0) {
      return ENOENT;
    }
    link.resize(static_cast<size_t>(length));
    if (link.front() == '/') {
      target = std::move(link);
    } else {
      target = DirectoryOf(target).append(link);
    }
  }
  return ELOOP;
}

// The writer hands over whole blocks (ByteSink::kCapacity), larger than the
// stream's own buffer, which would only split each and copy part of it once more.
void WriteUnbuffered(std::FILE* stream) noexcept { (void)std::setvbuf(stream, nullptr, _IONBF, 0); }

std::string RandomSuffix() {
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    static_assert(sizeof(uintptr_t) <= sizeof(uint64_t));
    bits ^=
        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&bits)) ^ (static_cast<uint64_t>(getpid()) << 32U);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string suffix(12, '0');
  for (char& digit : suffix) {
    digit = kHex[bits & 0xFU];
    bits >>= 4U;
  }
  return suffix;
}

// Picks a free name `.<stem>.tarvelo-<random>.tmp` beside `target` and claims it
// with `claim(name)`, which returns false with errno set when it could not;
// EEXIST means the name was taken and another is tried. Returns 0 or the errno.
template <typename Claim>
int ClaimTemporaryName(const std::string& target, std::string& temporary, Claim claim) {
  const std::string directory = DirectoryOf(target);
  const std::string stem = target.substr(directory.size(), kMaxStemInTemporary);
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    temporary = directory;
    temporary.append(".").append(stem).append(".tarvelo-").append(RandomSuffix()).append(".tmp");
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

// Creates a new, empty file beside `target` with the permissions a plain open()
// would give a new file (0666 less the umask).
int CreateTemporary(const std::string& target, std::string& temporary, int& descriptor) {
  return ClaimTemporaryName(target, temporary, [&descriptor](const std::string& name) {
    descriptor = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    return descriptor >= 0;
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
  return open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
#else
  (void)target;
  return -1;
#endif
}

// Gives the unnamed file behind `descriptor` a temporary name beside `target`.
int NameUnnamed(int descriptor, const std::string& target, std::string& temporary) {
  const std::string self = "/proc/self/fd/" + std::to_string(descriptor);
  return ClaimTemporaryName(target, temporary, [&self](const std::string& name) {
    return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
  });
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
    if (const int error = ResolveTarget(path, target_, existing, lookup_error); error != 0) {
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
      stream_ = std::fopen(path, "wb");
      if (stream_ == nullptr) {
        return fail(errno);
      }
      WriteUnbuffered(stream_);
      return true;
    }
    if (exists) {
      // Replacing must need the same right as truncating: write access to the file.
      const int probe = open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
      if (probe < 0) {
        return fail(errno);
      }
      close(probe);
    }
    int descriptor = CreateUnnamed(target_);
    unnamed_ = descriptor >= 0;
    if (!unnamed_) {
      if (const int error = CreateTemporary(target_, temporary_, descriptor); error != 0) {
        if (!exists || !DirectoryRefusesNewFiles(error)) {
          return fail(error);
        }
        return OpenInPlace(existing.st_size, failure);
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
    return true;
  } catch (const std::bad_alloc&) {
    Abandon();
    return fail(ENOMEM);
  }
}

bool DestinationFile::OpenInPlace(int64_t old_size, WriteFailure& failure) noexcept {
  // No O_TRUNC: the old bytes stay until Reserve has made room for the new ones.
  const int descriptor = open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (descriptor < 0) {
    failure = {WriteFailureKind::kOpenFailed, errno};
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
  old_size_ = old_size;
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
    // posix_fallocate allocates every block of the range or fails (ENOSPC, EFBIG)
    // before a byte is written; the old bytes inside the range keep their values.
    int error = posix_fallocate(descriptor, 0, static_cast<off_t>(bytes));
    if (error == EOPNOTSUPP || error == EINVAL) {
      // No reservation on this file system: growing the file is the best there is.
      error =
          bytes > static_cast<uint64_t>(old_size_) && ftruncate(descriptor, static_cast<off_t>(bytes)) != 0
              ? errno
              : 0;
    }
    if (error != 0) {
      // A reservation that failed part way may have grown the file.
      (void)!ftruncate(descriptor, old_size_);
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
  if (error == 0 && unnamed_) {
    // Complete: now it may have a name (the file stays open, so a close error is
    // still seen below and removes the name again).
    try {
      error = NameUnnamed(fileno(stream_), target_, temporary_);
    } catch (const std::bad_alloc&) {
      error = ENOMEM;
    }
  }
  std::FILE* stream = stream_;
  stream_ = nullptr;
  if (std::fclose(stream) != 0 && error == 0) {
    error = errno;
  }
  if (error == 0 && !temporary_.empty() && std::rename(temporary_.c_str(), target_.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    Abandon();
    failure = {WriteFailureKind::kWriteFailed, error};
    return false;
  }
  temporary_.clear();
  unnamed_ = false;
  in_place_ = false;
  return true;
}

}  // namespace tarvelo
