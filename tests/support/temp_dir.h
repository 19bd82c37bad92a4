#pragma once

#include <filesystem>
#include <string>

namespace tarvelo::test {

// A fresh directory under the system's temporary directory, removed with its
// contents when the object goes away.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  // path() / name, as a string.
  [[nodiscard]] std::string File(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

}  // namespace tarvelo::test
