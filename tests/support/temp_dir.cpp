#include "temp_dir.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <stdexcept>
#include <system_error>

namespace tarvelo::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarvelo-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed for " + pattern);
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave read-only directories behind; make them removable first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      chmod(it->path().c_str(), 0700);
    }
  }
  chmod(path_.c_str(), 0700);
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::File(const std::string& name) const { return (path_ / name).string(); }

}  // namespace tarvelo::test
