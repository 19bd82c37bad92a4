#pragma once

#include <cstddef>
#include <cwchar>

namespace tarvelo {

// A wide path narrowed for the library's file layer, which takes UTF-8 paths on
// every platform. It lives in the caller's frame: its capacity is fixed by the
// platform's longest path, so no path, however long, can make it grow or exhaust
// the stack.
class NarrowedPath {
 public:
#if defined(_WIN32)
  // ANSI bytes: MAX_PATH characters of a code page with up to 4 bytes each.
  static constexpr size_t kCapacity = 1024;
  // The same text in UTF-8: an ANSI byte never needs more than 3 UTF-8 bytes.
  static constexpr size_t kUtf8Capacity = 3 * kCapacity;
#else
  static constexpr size_t kCapacity = 4096;  // PATH_MAX, terminator included
#endif

  // UTF-8, for the file layer. Null when the wide path was null or too long to
  // narrow: then nothing may be opened with it.
  [[nodiscard]] const char* c_str() const noexcept {
#if defined(_WIN32)
    return usable_ ? utf8_ : nullptr;
#else
    return usable_ ? text_ : nullptr;
#endif
  }
  [[nodiscard]] bool too_long() const noexcept { return too_long_; }

#if defined(_WIN32)
  // The path in the system's ANSI code page, as the exports narrow it; null as
  // c_str() is. c_str() is this text re-encoded, so opening either names the same
  // file.
  [[nodiscard]] const char* ansi() const noexcept { return usable_ ? text_ : nullptr; }
#endif

 private:
  friend void NarrowPath(const wchar_t* wide, NarrowedPath& narrowed) noexcept;

  char text_[kCapacity] = {};
#if defined(_WIN32)
  char utf8_[kUtf8Capacity] = {};
#endif
  bool usable_ = false;
  bool too_long_ = false;
};

// Converts a zero-terminated wide path. A null path stays null; a path whose
// narrowed form may not fit kCapacity becomes null and too_long() is set.
//
// Linux: UTF-8, whatever the process locale; a wchar_t that is not a Unicode
// scalar value (a surrogate, a value above 0x10FFFF) becomes '?'.
//
// Windows: the system's ANSI code page, through WideCharToMultiByte (code page 0,
// no flags, the whole string with its terminator, no default character), so a
// character the code page lacks becomes the system's replacement (a best-fit
// letter or '?'). A conversion that fails leaves the empty string, never an
// unterminated one. The ANSI text is then re-encoded as UTF-8 for c_str().
void NarrowPath(const wchar_t* wide, NarrowedPath& narrowed) noexcept;

}  // namespace tarvelo
