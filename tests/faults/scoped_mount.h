#pragma once

#include <string>

namespace tarvelo::test {

// A small tmpfs mounted on an empty directory for the life of the object, for
// tests of full and read-only file systems. Mounting needs root (CAP_SYS_ADMIN);
// when it fails, ok() is false and why() says why, so the test can skip.
class ScopedTmpfs {
 public:
  ScopedTmpfs(const std::string& directory, size_t size_bytes);
  ScopedTmpfs(const ScopedTmpfs&) = delete;
  ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;
  ~ScopedTmpfs();

  [[nodiscard]] bool ok() const { return mounted_; }
  [[nodiscard]] const std::string& why() const { return why_; }
  // Remounts read-only; false (with why()) when that fails.
  bool MakeReadOnly();

 private:
  std::string directory_;
  bool mounted_ = false;
  std::string why_;
};

}  // namespace tarvelo::test
