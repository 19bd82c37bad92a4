#include "scratch_directory.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace tarvelo::fuzz {
namespace {

std::string MakeDirectory() {
  std::error_code error;
  std::filesystem::path base = "/dev/shm";
  if (!std::filesystem::is_directory(base, error) || access(base.c_str(), W_OK) != 0) {
    base = std::filesystem::temp_directory_path();
  }
  std::string pattern = (base / "tarvelo-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::abort();
  }
  return pattern;
}

struct Directory {
  std::string path = MakeDirectory();
  Directory() = default;
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
  ~Directory() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

}  // namespace

const std::string& ScratchDirectory() {
  static const Directory directory;
  return directory.path;
}

std::string ScratchEntries() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(ScratchDirectory())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::string joined;
  for (const auto& name : names) {
    joined += name + " ";
  }
  return joined;
}

}  // namespace tarvelo::fuzz
