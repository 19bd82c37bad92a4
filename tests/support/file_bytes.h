#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tarvelo::test {

using Bytes = std::vector<uint8_t>;

// The whole file; throws when it cannot be read.
Bytes ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const Bytes& bytes);
bool FileExists(const std::string& path);
// Names of the entries in a directory, sorted; as std::wstring for names outside
// the ANSI code page on Windows.
template <typename Name = std::string>
std::vector<Name> ListDirectory(const std::filesystem::path& path) {
  std::vector<Name> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    names.push_back(entry.path().filename().template string<typename Name::value_type>());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Little-endian field readers for checking headers.
uint32_t ReadLe16(const Bytes& bytes, size_t offset);
uint32_t ReadLe32(const Bytes& bytes, size_t offset);

// Parses hexadecimal pairs separated by blanks ("42 4D 4E").
Bytes FromHex(const std::string& hex);

}  // namespace tarvelo::test
