#include "convert/source.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/file_system.h"

namespace tarvelo {

bool OpenedSource::Allocate(uint64_t size, SourceFailure& failure) noexcept {
  if (size == 0) {
    failure.reason = "source is empty";
    return false;
  }
  // The decoder counts a source's bytes in an int.
  if (size > static_cast<uint64_t>(INT_MAX)) {
    failure.reason = "source exceeds 2 GiB";
    return false;
  }
  owned_.reset(static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size))));
  if (!owned_) {
    failure.out_of_memory = true;
    return false;
  }
  return true;
}

bool OpenedSource::OpenFile(const char* path, SourceFailure& failure) noexcept {
  if (path == nullptr) {
    failure.reason = "no source path";
    return false;
  }
  errno = 0;
  bool not_regular = false;
  std::FILE* file = platform::OpenSourceFile(path, not_regular);
  if (not_regular) {
    failure.reason = "source is not a regular file";
    return false;
  }
  if (file == nullptr) {
    failure.error_number = errno != 0 ? errno : ENOENT;
    return false;
  }
  errno = 0;
  uint64_t size = 0;
  size_t got = 0;
  if (!platform::SourceFileSize(file, size)) {
    if (errno == EISDIR) {
      failure.error_number = EISDIR;
    } else {
      failure.reason = "source is not a regular file";
    }
  } else if (Allocate(size, failure)) {
    // A file that shrank meanwhile gives what it still holds; one that grew, the
    // bytes it had when it was opened. Either way what was read is what is checked.
    got = std::fread(owned_.get(), 1, static_cast<size_t>(size), file);
    if (got == 0) {
      if (std::ferror(file) != 0) {
        failure.error_number = errno != 0 ? errno : EIO;
      } else {
        failure.reason = "source is empty";
      }
    }
  }
  static_cast<void>(std::fclose(file));
  if (failure.failed()) {
    owned_.reset();
    return false;
  }
  bytes_ = {.data = owned_.get(), .size = got};
  return true;
}

bool OpenedSource::UseMemory(const uint8_t* data, size_t size, SourceFailure& failure) noexcept {
  if (data == nullptr) {
    failure.reason = "no source data";
    return false;
  }
  if (!Allocate(size, failure)) {
    if (size > static_cast<size_t>(INT_MAX)) {
      failure.reason = "source in memory exceeds 2 GiB";
    }
    return false;
  }
  std::memcpy(owned_.get(), data, size);
  bytes_ = {.data = owned_.get(), .size = size};
  return true;
}

}  // namespace tarvelo
