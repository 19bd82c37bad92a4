#include "convert/source.h"

#include <cerrno>
#include <climits>

namespace tarvelo {

bool OpenedSource::OpenFile(const char* path, SourceFailure& failure) noexcept {
  if (path == nullptr) {
    failure.reason = "no source path";
    return false;
  }
  errno = 0;
  bool not_regular = false;
  file_.reset(OpenSourceFile(path, not_regular));
  if (not_regular) {
    failure.reason = "source is not a regular file";
    return false;
  }
  if (!file_) {
    failure.error_number = errno != 0 ? errno : ENOENT;
    return false;
  }
  errno = 0;
  if (!TakeSourceSnapshot(file_.get(), opened_)) {
    if (errno == EISDIR) {
      failure.error_number = EISDIR;
    } else {
      failure.reason = "source is not a regular file";
    }
    return false;
  }
  bytes_ = {.file = file_.get(), .size = opened_.size};
  return true;
}

bool OpenedSource::UseMemory(const uint8_t* data, size_t size, SourceFailure& failure) noexcept {
  if (data == nullptr) {
    failure.reason = "no source data";
    return false;
  }
  if (size == 0) {
    failure.reason = "source is empty";
    return false;
  }
  // The decoder counts a memory source's bytes in an int.
  if (size > static_cast<size_t>(INT_MAX)) {
    failure.reason = "source in memory exceeds 2 GiB";
    return false;
  }
  bytes_ = {.data = data, .size = size};
  return true;
}

bool OpenedSource::Unchanged() const noexcept {
  if (!file_) {
    return true;
  }
  SourceSnapshot now;
  return TakeSourceSnapshot(file_.get(), now) && now == opened_;
}

}  // namespace tarvelo
