#include "scoped_mount.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarvelo::test {

ScopedTmpfs::ScopedTmpfs(const std::string& directory, size_t size_bytes) : directory_(directory) {
  if (geteuid() != 0) {
    why_ = "mounting a tmpfs needs root";
    return;
  }
  const std::string options = "size=" + std::to_string(size_bytes) + ",mode=0755";
  if (mount("tmpfs", directory_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    why_ = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
    return;
  }
  mounted_ = true;
}

ScopedTmpfs::~ScopedTmpfs() {
  if (mounted_) {
    umount2(directory_.c_str(), MNT_DETACH);
  }
}

bool ScopedTmpfs::MakeReadOnly() {
  if (mount("tmpfs", directory_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) !=
      0) {
    why_ = std::string("cannot remount read-only: ") + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace tarvelo::test
