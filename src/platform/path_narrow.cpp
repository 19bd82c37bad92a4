#include "platform/path_narrow.h"

#include <cstdint>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#elif defined(UNDER_CE)
#include "platform/coredll.h"
#else
#include <climits>
#endif

namespace tarvelo {

NarrowedPath::~NarrowedPath() { std::free(text_); }

#if defined(_WIN32)
static_assert(sizeof(wchar_t) == 2, "Windows wide paths are UTF-16");

namespace {

// The longest path the system's wide file calls take, in UTF-16 units.
constexpr size_t kMaxPathUnits = 32767;

// Converts between the code page and UTF-16 through a new buffer sized by a first
// call; null when the text cannot be converted or memory runs out.
wchar_t* AnsiToWide(const char* ansi) noexcept {
  const int units = MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0);
  auto* wide =
      static_cast<wchar_t*>(units > 0 ? std::malloc(sizeof(wchar_t) * static_cast<size_t>(units)) : nullptr);
  if (wide != nullptr && MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, units) == 0) {
    std::free(wide);
    return nullptr;
  }
  return wide;
}

char* WideToUtf8(const wchar_t* wide) noexcept {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  auto* utf8 = static_cast<char*>(bytes > 0 ? std::malloc(static_cast<size_t>(bytes)) : nullptr);
  if (utf8 != nullptr && WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, bytes, nullptr, nullptr) == 0) {
    std::free(utf8);
    return nullptr;
  }
  return utf8;
}

}  // namespace

NarrowedPath::NarrowedPath(const wchar_t* wide) noexcept {
  const size_t length = wide != nullptr ? std::wcslen(wide) : kMaxPathUnits + 1;
  if (length > kMaxPathUnits) {
    return;
  }
  CPINFO info{};
  const size_t per_unit = GetCPInfo(CP_ACP, &info) != 0 && info.MaxCharSize > 2 ? info.MaxCharSize : 2;
  const size_t capacity = per_unit * (length + 1);
  auto* ansi = static_cast<char*>(std::malloc(capacity));
  if (ansi == nullptr) {
    return;
  }
  ansi[0] = '\0';
  // The result is not examined: a failed conversion leaves the empty string.
  (void)WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, static_cast<int>(capacity), nullptr, nullptr);
  wchar_t* native = ansi[0] != '\0' ? AnsiToWide(ansi) : nullptr;
  std::free(ansi);
  if (native == nullptr) {
    text_ = static_cast<char*>(std::calloc(1, 1));  // the empty string
    return;
  }
  text_ = WideToUtf8(native);
  std::free(native);
}

#elif defined(UNDER_CE)
static_assert(sizeof(wchar_t) == 2, "CE wide paths are UTF-16");

// CE's paths stay in the ANSI code page below the exports (platform/file_system_wince.cpp
// widens them for each call): code page 0, no flags, 2 x (n + 1) bytes, enough for CE's
// single- and double-byte code pages.
NarrowedPath::NarrowedPath(const wchar_t* wide) noexcept {
  const size_t capacity = wide != nullptr ? 2 * (std::wcslen(wide) + 1) : 0;
  if (capacity == 0 || (text_ = static_cast<char*>(std::malloc(capacity))) == nullptr) {
    return;
  }
  text_[0] = '\0';
  (void)WideCharToMultiByte(0, 0, wide, -1, text_, static_cast<int>(capacity), nullptr, nullptr);
}

#else
static_assert(sizeof(wchar_t) == 4, "UTF-8 narrowing expects wchar_t to hold UTF-32");

namespace {

// The UTF-8 length of a code point, '?' standing for a value that is no scalar value.
char32_t ScalarOrReplacement(wchar_t unit) noexcept {
  const auto cp = static_cast<char32_t>(unit);
  return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF) ? cp : U'?';
}

size_t Utf8Length(char32_t cp) noexcept { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }

char* EncodeUtf8(char32_t cp, char* out) noexcept {
  const auto byte = [](uint32_t value) { return static_cast<char>(static_cast<uint8_t>(value)); };
  const size_t length = Utf8Length(cp);
  if (length == 1) {
    *out++ = byte(cp);
    return out;
  }
  // The lead byte carries the length in its high bits, then 6 bits a byte follow.
  constexpr uint32_t kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  *out++ = byte(kLead[length] | (cp >> (6U * (length - 1))));
  for (size_t shift = 6U * (length - 1); shift > 0;) {
    shift -= 6;
    *out++ = byte(0x80U | ((cp >> shift) & 0x3FU));
  }
  return out;
}

}  // namespace

NarrowedPath::NarrowedPath(const wchar_t* wide) noexcept {
  if (wide == nullptr) {
    return;
  }
  size_t bytes = 0;
  for (const wchar_t* in = wide; *in != L'\0' && bytes < PATH_MAX; ++in) {
    bytes += Utf8Length(ScalarOrReplacement(*in));
  }
  // PATH_MAX counts the terminator: a longer path no system call takes.
  if (bytes >= PATH_MAX || (text_ = static_cast<char*>(std::malloc(bytes + 1))) == nullptr) {
    return;
  }
  char* out = text_;
  for (const wchar_t* in = wide; *in != L'\0'; ++in) {
    out = EncodeUtf8(ScalarOrReplacement(*in), out);
  }
  *out = '\0';
}
#endif

}  // namespace tarvelo
