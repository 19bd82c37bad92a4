#include "writer/destination_file.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "writer/temporary_name.h"

namespace tarvelo {
namespace {

using platform::files;
using platform::Handle;
using platform::kNoHandle;
using platform::NativePath;

constexpr int kTemporaryNameAttempts = 64;
// A reservation gained nothing for a small new file (bench/RESULTS-pipelines.md)
// and paid for a large one (bench/RESULTS.md); where between them it starts to pay
// was not measured, so small files skip it up to this size.
constexpr uint64_t kPreallocateFrom = uint64_t{1} << 20;
constexpr size_t kCopyBlock = size_t{1} << 18;

// Why a temporary file could not be made beside the target when the target itself
// may still be written: the directory refuses new entries.
bool DirectoryRefusesNewFiles(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// The errno of a C library call that failed, which may not set it (cleared first).
int LastError() { return errno != 0 ? errno : EIO; }

// Bits for a temporary name: the system's, and a count that tells calls apart,
// spread over every bit by splitmix64's finaliser. Creating the file exclusively
// makes a name safe; these only make a clash unlikely.
uint64_t NameBits() {
  static std::atomic<uint32_t> count{0};
  uint64_t bits = files.random_bits() ^ (uint64_t{++count} * 0x9E3779B97F4A7C15U);
  bits ^= bits >> 30U;
  bits *= 0xBF58476D1CE4E5B9U;
  bits ^= bits >> 27U;
  bits *= 0x94D049BB133111EBU;
  return bits ^ (bits >> 31U);
}

// Picks a free temporary name beside the target (TemporaryName) and claims it with
// `claim(path)`; EEXIST means the name was taken and another is tried. 0 or the
// errno; `temporary` is empty unless claimed.
template <typename Claim>
int ClaimTemporaryName(const platform::Located& found, NativePath& temporary, Claim claim) {
  int error = EEXIST;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && error == EEXIST; ++attempt) {
    temporary = TemporaryName(found.directory_path, found.name, NameBits());
    error = temporary.failed() ? ENOMEM : claim(temporary);
  }
  if (error != 0) {
    temporary.Clear();
  }
  return error;
}

// Copies the `size` bytes of `from` over the start of `to`.
int CopyBytes(Handle from, Handle to, int64_t size) {
  void* const heap = std::malloc(kCopyBlock);
  char fallback[4096];
  char* const block = heap != nullptr ? static_cast<char*>(heap) : fallback;
  const size_t capacity = heap != nullptr ? kCopyBlock : sizeof fallback;
  int error = 0;
  for (int64_t at = 0; at < size && error == 0;) {
    size_t got = 0;
    error = files.read_at(from, block, capacity, at, got);
    // A call that moves nothing and says nothing (the file cut short meanwhile) ends the copy.
    error = error == 0 && got == 0 ? EIO : error;
    for (size_t put = 0; error == 0 && put < got;) {
      size_t wrote = 0;
      error = files.write_at(to, block + put, got - put, at + static_cast<int64_t>(put), wrote);
      error = error == 0 && wrote == 0 ? EIO : error;
      put += wrote;
    }
    at += static_cast<int64_t>(got);
  }
  std::free(heap);
  return error;
}

// Sets aside `bytes` in the file being overwritten in place before an old byte is
// overwritten, or leaves it at `old_size`.
int ReserveInPlace(Handle file, uint64_t bytes, int64_t old_size) {
  int error = files.reserve(file, bytes, old_size);
  if (error == ENOTSUP) {
    // No reservation on this system or file system: growing the file is the best there is.
    error = bytes > static_cast<uint64_t>(old_size) ? files.truncate(file, static_cast<int64_t>(bytes)) : 0;
  }
  if (error != 0) {
    (void)files.truncate(file, old_size);  // a reservation that failed part way may have grown the file
  }
  return error;
}

// The replacement was refused (a sticky directory: another user's file; on
// Windows a file another program holds), yet the file may be written: its bytes
// are overwritten with the complete new file `complete`, as a plain overwrite
// would. 0, or the errno when the overwrite failed part way; `refused` when the
// target cannot be written at all.
int OverwriteWithCopy(const NativePath& target, Handle complete, int64_t size, int refused) {
  Handle file = kNoHandle;
  int64_t old_size = 0;
  if (files.open_in_place(target, file, old_size) != 0) {
    return refused;
  }
  int error = ReserveInPlace(file, static_cast<uint64_t>(size), old_size);
  if (error == 0) {
    error = CopyBytes(complete, file, size);
  }
  if (error == 0) {
    error = files.truncate(file, size);
  }
  const int closed = files.close(file);
  return error != 0 ? error : closed;
}

// Removes the stray temporary files of ours in the directory: those a writer killed
// before its file was in place left behind. A batch writes file after file into one
// directory, and reading it for each would cost more than the conversions: a
// process reads a directory at most once in kSweepSeconds, told by its name and the
// clock without a system call (not by its identity: a new directory may get the
// number of one just removed). One word for the whole process, with no lock: two
// threads that race at worst both sweep, or skip a sweep that the next one makes.
void SweepStrays(platform::Located& found) {
  static std::atomic<uint64_t> last_sweep{0};  // the name's hash, then the time
  uint32_t name_hash = 2166136261U;            // FNV-1a
  for (const auto unit : found.directory_name) {
    name_hash = (name_hash ^ static_cast<uint32_t>(unit)) * 16777619U;
  }
  const auto now = static_cast<uint32_t>(files.seconds_now());
  const uint64_t last = last_sweep.load(std::memory_order_relaxed);
  if (last != 0 && static_cast<uint32_t>(last >> 32U) == name_hash &&
      now - static_cast<uint32_t>(last) < temporary_name::kSweepSeconds) {
    return;
  }
  last_sweep.store((uint64_t{name_hash} << 32U) | now, std::memory_order_relaxed);
  files.list(
      found,
      [](void* context, const NativePath& name) {
        if (IsTemporaryName(std::basic_string_view<platform::NativeChar>(name.c_str(), name.size()))) {
          files.remove_if_stray(*static_cast<const platform::Located*>(context), name);
        }
      },
      &found);
}

}  // namespace

DestinationFile::~DestinationFile() { Abandon(); }

void DestinationFile::Changing() noexcept {
  if (void (*const call)(void*) = std::exchange(before_change_, nullptr); call != nullptr) {
    call(change_context_);
  }
}

void DestinationFile::Abandon() noexcept {
  if (stream_ != nullptr) {
    if (in_place_ && std::ftell(stream_) == 0) {
      (void)files.truncate(file_, old_size_);  // nothing overwritten yet: undo what Reserve may have added
    }
    (void)std::fclose(stream_);  // abandoned: its result no longer matters
    stream_ = nullptr;
  }
  if (!temporary_.empty()) {
    (void)files.remove(temporary_);
    temporary_.Clear();
  }
  if (found_.directory != kNoHandle) {
    (void)files.close(found_.directory);
    found_.directory = kNoHandle;
  }
}

bool DestinationFile::Fail(WriteFailure& failure, WriteFailureKind kind, int error) noexcept {
  Abandon();
  failure = {kind, error};
  return false;
}

bool DestinationFile::Open(WriteFailure& failure) noexcept {
  const auto fail = [this, &failure](int error) {
    return Fail(failure, WriteFailureKind::kOpenFailed, error);
  };
  if (path_ == nullptr || *path_ == '\0') {
    return fail(ENOENT);
  }
  if (const int error = files.locate(path_, found_); error != 0) {
    return fail(error);
  }
  if (found_.kind == platform::FileKind::kDirectory) {
    return fail(EISDIR);
  }
  if (found_.kind == platform::FileKind::kSpecial) {
    // A terminal, a pipe or a device has no file to protect: written directly.
    const int error = files.open_special(path_, stream_);
    if (error != 0) {
      return fail(error);
    }
    Changing();
    return true;
  }
  target_ = found_.directory_path + found_.name;
  if (target_.failed()) {
    return fail(ENOMEM);
  }
  replacing_ = found_.kind == platform::FileKind::kRegular;
  Handle file = files.create_unnamed(found_);
  unnamed_ = file != kNoHandle;
  int error = unnamed_ ? 0 : ClaimTemporaryName(found_, temporary_, [&file](const NativePath& name) {
    return files.create_new(name, file);
  });
  in_place_ = error != 0 && replacing_ && DirectoryRefusesNewFiles(error);
  if (in_place_) {
    error = files.open_in_place(target_, file, old_size_);
  } else if (error == 0 && replacing_) {
    files.keep_owner(file, found_);
  }
  if (error != 0) {
    return fail(error);
  }
  file_ = file;
  stream_ = files.stream(file);
  if (stream_ == nullptr) {
    return fail(errno);
  }
  if (in_place_) {
    Changing();
  } else {
    SweepStrays(found_);
  }
  return true;
}

bool DestinationFile::Reserve(uint64_t bytes, WriteFailure& failure) noexcept {
  if (file_ == kNoHandle || bytes == 0 || (!in_place_ && bytes < kPreallocateFrom)) {
    return true;  // a device or pipe written directly has no blocks
  }
  if (!in_place_) {
    // For a new file a hint: a failure (a file system without it, no space) is left to the writes.
    (void)files.reserve(file_, bytes, -1);
    return true;
  }
  const int error = ReserveInPlace(file_, bytes, old_size_);
  return error == 0 || Fail(failure, WriteFailureKind::kWriteFailed, error);
}

int DestinationFile::MoveIntoPlace(Handle complete, int64_t size) noexcept {
  Changing();
  if (unnamed_ && !replacing_) {
    // Nothing to replace: the file gets its final name at once, and a process
    // killed now leaves either nothing or the complete file.
    const int error = files.name_unnamed(complete, target_);
    if (error != EEXIST) {
      return error;
    }
    // A file appeared meanwhile: it is replaced as one that was there from the
    // start would be, if it may be written.
    if (const int refused = files.check_writable(target_); refused != 0) {
      return refused;
    }
    replacing_ = true;
  }
  if (unnamed_) {
    const int error = ClaimTemporaryName(found_, temporary_, [complete](const NativePath& name) {
      return files.name_unnamed(complete, name);
    });
    if (error != 0) {
      return error;
    }
  }
  const int refused = files.replace(temporary_, target_);
  if (refused == 0) {
    temporary_.Clear();
    return 0;
  }
  if (!replacing_ || (refused != EPERM && refused != EACCES)) {
    return refused;
  }
  return OverwriteWithCopy(target_, complete, size, refused);  // the temporary file goes with Abandon
}

int DestinationFile::Write(const uint8_t* data, size_t size) noexcept {
  errno = 0;
  return std::fwrite(data, 1, size, stream_) == size ? 0 : LastError();
}

bool DestinationFile::Finish(WriteFailure& failure) noexcept {
  if (stream_ == nullptr) {
    return Fail(failure, WriteFailureKind::kWriteFailed, EBADF);
  }
  errno = 0;
  int error = std::fflush(stream_) != 0 ? LastError() : (std::ferror(stream_) != 0 ? EIO : 0);
  const long size = std::ftell(stream_);  // fails on a pipe, which needs no size
  if (error == 0 && in_place_) {
    // The new file may be shorter than the old one.
    error = size < 0 ? errno : files.truncate(file_, size);
  }
  // The complete file stays open (and held as being written) until it is in
  // place; the stream is closed first, so that a close error still counts.
  Handle complete = kNoHandle;
  if (error == 0 && (unnamed_ || !temporary_.empty())) {
    complete = files.duplicate(file_);
    error = complete == kNoHandle ? LastError() : 0;
  }
  if (std::fclose(stream_) != 0 && error == 0) {
    error = LastError();
  }
  stream_ = nullptr;
  if (error == 0 && complete != kNoHandle) {
    error = size < 0 ? errno : MoveIntoPlace(complete, size);
  }
  if (complete != kNoHandle) {
    (void)files.close(complete);
  }
  if (error != 0) {
    return Fail(failure, WriteFailureKind::kWriteFailed, error);
  }
  Abandon();  // closes the directory
  return true;
}

}  // namespace tarvelo
