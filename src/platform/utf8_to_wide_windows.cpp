#include "platform/utf8_to_wide_windows.h"

#include <windows.h>

namespace tarvelo {

bool Utf8ToWide(const char* utf8, std::wstring& wide) noexcept {
  wide.clear();
  if (utf8 == nullptr) {
    return false;
  }
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (units <= 0) {
    return false;
  }
  wide.resize(static_cast<size_t>(units));
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide.data(), units) != units) {
    wide.clear();
    return false;
  }
  wide.pop_back();  // the terminator the conversion wrote
  return true;
}

}  // namespace tarvelo
