#include "file_bytes.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace tarvelo::test {

Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFileBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

bool FileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::symlink_status(path, ignored).type() != std::filesystem::file_type::not_found;
}

uint32_t ReadLe16(const Bytes& bytes, size_t offset) {
  return static_cast<uint32_t>(bytes.at(offset) | (bytes.at(offset + 1) << 8U));
}

uint32_t ReadLe32(const Bytes& bytes, size_t offset) {
  return ReadLe16(bytes, offset) | (ReadLe16(bytes, offset + 2) << 16U);
}

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  std::istringstream in(hex);
  std::string pair;
  while (in >> pair) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
  }
  return bytes;
}

}  // namespace tarvelo::test
