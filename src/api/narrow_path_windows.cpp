#include <windows.h>

#include <array>
#include <cwchar>

#include "api/narrow_path.h"

static_assert(sizeof(wchar_t) == 2, "Windows wide paths are UTF-16");

namespace tarvelo {
namespace {

// Bytes one UTF-16 code unit can need in the ANSI code page: its longest character
// (a surrogate pair needs two units and at most 4 bytes, so the bound holds).
UINT AnsiBytesPerUnit() noexcept {
  CPINFO info{};
  if (GetCPInfo(CP_ACP, &info) == 0 || info.MaxCharSize == 0) {
    return 4;  // the most any Windows code page needs
  }
  return info.MaxCharSize;
}

// Re-encodes zero-terminated ANSI text as UTF-8 into `out`; "" when that fails.
void AnsiToUtf8(const char* ansi, char* out, int out_capacity) noexcept {
  // Each ANSI byte yields at most one UTF-16 unit.
  std::array<wchar_t, NarrowedPath::kCapacity> wide{};
  out[0] = '\0';
  if (MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide.data(), static_cast<int>(wide.size())) == 0) {
    return;
  }
  if (WideCharToMultiByte(CP_UTF8, 0, wide.data(), -1, out, out_capacity, nullptr, nullptr) == 0) {
    out[0] = '\0';
  }
}

}  // namespace

void NarrowPath(const wchar_t* wide, NarrowedPath& narrowed) noexcept {
  narrowed.text_[0] = '\0';
  narrowed.utf8_[0] = '\0';
  narrowed.usable_ = false;
  narrowed.too_long_ = false;
  if (wide == nullptr) {
    return;
  }
  // The buffer is sized for the code page's longest character per unit, terminator
  // included, so the conversion can never run short of room; a path that could
  // need more than the frame buffer holds converts nothing.
  const size_t length = std::wcslen(wide);
  const size_t bytes_per_unit = AnsiBytesPerUnit();
  if (length >= NarrowedPath::kCapacity / bytes_per_unit) {
    narrowed.too_long_ = true;
    return;
  }
  const auto capacity = static_cast<int>((length + 1) * bytes_per_unit);
  if (WideCharToMultiByte(CP_ACP, 0, wide, -1, narrowed.text_, capacity, nullptr, nullptr) == 0) {
    narrowed.text_[0] = '\0';
  }
  AnsiToUtf8(narrowed.text_, narrowed.utf8_, static_cast<int>(NarrowedPath::kUtf8Capacity));
  narrowed.usable_ = true;
}

}  // namespace tarvelo
