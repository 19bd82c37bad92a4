#include "platform/utf8_to_wide_windows.h"

#include <windows.h>

#include <cstdlib>

namespace tarvelo {

bool Utf8ToWide(const char* utf8, platform::PathText<wchar_t>& wide) noexcept {
  wide.Clear();
  if (utf8 == nullptr) {
    return false;
  }
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (units <= 0) {
    return false;
  }
  auto* const buffer = static_cast<wchar_t*>(std::malloc(static_cast<size_t>(units) * sizeof(wchar_t)));
  const bool converted = buffer != nullptr &&
                         MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, buffer, units) == units;
  if (converted) {
    wide.Append(buffer, static_cast<size_t>(units) - 1);  // without the terminator the conversion wrote
  }
  std::free(buffer);
  return converted && !wide.failed();
}

}  // namespace tarvelo
