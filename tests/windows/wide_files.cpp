#include "wide_files.h"

#include <windows.h>

#include <cstdio>
#include <stdexcept>

namespace tarvelo::test {

Bytes ReadWideFile(const std::wstring& path) {
  std::FILE* file = _wfopen(path.c_str(), L"rb");
  if (file == nullptr) {
    throw std::runtime_error("cannot read " + ToUtf8(path));
  }
  Bytes bytes;
  int c = 0;
  while ((c = std::fgetc(file)) != EOF) {
    bytes.push_back(static_cast<uint8_t>(c));
  }
  (void)std::fclose(file);
  return bytes;
}

void WriteWideFile(const std::wstring& path, const Bytes& bytes) {
  std::FILE* file = _wfopen(path.c_str(), L"wb");
  if (file == nullptr) {
    throw std::runtime_error("cannot write " + ToUtf8(path));
  }
  const size_t written = std::fwrite(bytes.data(), 1, bytes.size(), file);
  if (std::fclose(file) != 0 || written != bytes.size()) {
    throw std::runtime_error("cannot write " + ToUtf8(path));
  }
}

bool WideFileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ToUtf8(const std::wstring& wide) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8.data(), bytes, nullptr, nullptr);
  utf8.pop_back();
  return utf8;
}

std::wstring ToWide(const std::string& utf8) {
  const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(units > 0 ? units : 1), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), units);
  wide.pop_back();
  return wide;
}

}  // namespace tarvelo::test
