#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/file_system.h"
#include "writer/outputs.h"

namespace tarvelo {

// A destination file as an output, replaced only once every byte is written: Begin
// creates the temporary file and sets aside the size, Finish moves the file into
// place; an output destroyed without a successful Finish leaves the destination as
// it was. Bytes go to a temporary file beside the final target (after following symbolic links); Commit
// flushes, closes and moves it into place. On Linux the temporary file has no name
// until Finish (O_TMPFILE): a new destination is then linked straight to its final
// name, and one that replaces a file gets a temporary name just before the rename,
// so that a process killed while writing leaves nothing behind, and one killed
// between naming and renaming leaves at most that temporary file; elsewhere the
// temporary file is named from the start. A temporary file is held by its writer
// for its whole life (POSIX: locked with flock; Windows: open, sharing only its
// deletion); a later Begin in the same directory removes the temporary files of
// this user that no writer holds any more (the name: writer/temporary_name.h).
// Anything short of a successful Finish removes the temporary file and leaves an
// existing destination untouched.
//
// The algorithm is written once, over the file primitives of platform/file_system.h.
//
// Symbolic links are followed only where the kernel's link protection
// (fs.protected_symlinks) would follow them: a link in a sticky directory that
// everyone may write must belong to the caller or to the directory's owner;
// otherwise Begin fails with EACCES.
//
// Existing targets that are not regular files (a terminal, a pipe, a device, also
// reached through /dev/stdout or /proc/self/fd) are written directly, as a plain
// open would; there is no file there to protect. A pipe that nobody reads fails at
// once with kPipeWithoutReader instead of waiting for a reader.
//
// An existing regular file that may be written but that cannot be replaced is
// overwritten in place, as a plain open would do, instead of being refused: when
// its directory admits no new file (no write permission on the directory), and
// when the rename is refused (EPERM, EACCES: a sticky directory and another user's
// file). That case is not atomic: the new size is set aside before the first old
// byte is overwritten, so a full disk still fails with the old bytes intact, but a
// crash or a write error part way leaves a mixed file. Writers that overwrite one
// file in place take turns (flock on the file), so that the file ends as one of
// them wrote it.
class DestinationFile final : public ByteOutput {
 public:
  // `path` (UTF-8) must outlive the output. `before_change`, when set, is called
  // once with `context`, just before the destination itself first changes: before a
  // complete file is given its name or moved over it, or before the first byte
  // written in place or to a special file. What follows it is only the file
  // system's work; a caller's time limit must not cut it short.
  explicit DestinationFile(const char* path, void (*before_change)(void*) = nullptr,
                           void* context = nullptr) noexcept
      : path_(path), before_change_(before_change), change_context_(context) {}
  ~DestinationFile();

  // Creates the temporary file, then tells the file system that `size` bytes, the
  // file's exact size, are coming.
  //
  // A new file: a hint, so that large files get their space at once rather than
  // block by block as they are written, which takes the kernel less time in all
  // (bench/RESULTS.md); the size still comes from what is written, and where it is
  // not supported nothing changes. Small files skip it: the call costs more than it
  // saves.
  //
  // In place: the whole new size must be there before an old byte is overwritten.
  // False (with `failure`, the old file as it was) when it is not.
  bool Begin(uint64_t size, WriteFailure& failure) noexcept override {
    return Open(failure) && Reserve(size, failure);
  }
  int Write(const uint8_t* data, size_t size) noexcept override;
  // Flushes, closes and moves the file into place. On failure returns false, sets
  // `failure` and removes the temporary file.
  bool Finish(WriteFailure& failure) noexcept override;

 private:
  bool Open(WriteFailure& failure) noexcept;
  // Abandons the file (see Abandon) and reports `kind` and `error`; false.
  bool Fail(WriteFailure& failure, WriteFailureKind kind, int error) noexcept;
  bool Reserve(uint64_t bytes, WriteFailure& failure) noexcept;
  void Abandon() noexcept;
  // Gives the complete file `complete` (`size` bytes) the target's name. 0 or the errno.
  int MoveIntoPlace(platform::Handle complete, int64_t size) noexcept;
  void Changing() noexcept;

  const char* path_;
  std::FILE* stream_ = nullptr;
  platform::Handle file_ = platform::kNoHandle;  // the stream's, under it
  platform::Located found_;                      // the target's directory (held) and name
  platform::NativePath target_;                  // found_'s directory path and name
  platform::NativePath temporary_;               // empty when writing the target directly or while unnamed
  bool replacing_ = false;                       // a file was there when opened
  bool unnamed_ = false;                         // created without a name (O_TMPFILE), named only in Commit
  bool in_place_ = false;                        // overwriting the target itself (see the class comment)
  int64_t old_size_ = 0;                         // in place: the target's size before Reserve
  void (*before_change_)(void*);
  void* change_context_;
};

}  // namespace tarvelo
