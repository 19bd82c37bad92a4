#include "temp_dir.h"

#include <stdlib.h>

#include <random>
#include <stdexcept>
#include <system_error>

namespace tarvelo::test {

TempDir::TempDir() {
#if defined(_WIN32)
  // No mkdtemp: create_directory refuses a name that exists, so retry on a clash.
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const auto candidate = std::filesystem::temp_directory_path() /
                           ("tarvelo-test-" + std::to_string(random()) + std::to_string(random()));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate;
    }
  }
  if (path_.empty()) {
    throw std::runtime_error("cannot create a temporary directory");
  }
#else
  std::string pattern = (std::filesystem::temp_directory_path() / "tarvelo-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed for " + pattern);
  }
  path_ = pattern;
#endif
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave read-only directories (and, on Windows, read-only files, which
  // cannot be deleted) behind; make them removable first.
  constexpr auto kOwnerAll = std::filesystem::perms::owner_all;
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (!it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), kOwnerAll, std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::permissions(path_, kOwnerAll, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::File(const std::string& name) const { return (path_ / name).string(); }

}  // namespace tarvelo::test
