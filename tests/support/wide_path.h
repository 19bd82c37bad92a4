#pragma once

#include <stdexcept>
#include <string>

namespace tarvelo::test {

// The wide form of an ASCII path (temporary directories are ASCII); non-ASCII
// names are appended as wide literals by the tests that need them.
inline std::wstring WidePath(const std::string& ascii) {
  std::wstring wide;
  for (const char c : ascii) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      throw std::invalid_argument("WidePath expects ASCII: " + ascii);
    }
    wide.push_back(static_cast<wchar_t>(c));
  }
  return wide;
}

}  // namespace tarvelo::test
