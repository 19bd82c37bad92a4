#pragma once

#include <cstddef>
#include <cwchar>

namespace tarvelo {

// A wide path narrowed to the multibyte form the file APIs take. It lives in the
// caller's frame: its capacity is the platform's longest path, so no path, however
// long, can make it grow or exhaust the stack.
class NarrowedPath {
 public:
#if defined(_WIN32)
  static constexpr size_t kCapacity = 1024;  // MAX_PATH characters, up to 4 bytes each
#else
  static constexpr size_t kCapacity = 4096;  // PATH_MAX, terminator included
#endif

  // Null when the wide path was null or too long to narrow: then nothing may be
  // opened with it.
  [[nodiscard]] const char* c_str() const noexcept { return usable_ ? text_ : nullptr; }
  [[nodiscard]] bool too_long() const noexcept { return too_long_; }

 private:
  friend void NarrowPath(const wchar_t* wide, NarrowedPath& narrowed) noexcept;

  char text_[kCapacity] = {};
  bool usable_ = false;
  bool too_long_ = false;
};

// Converts a zero-terminated wide path. Linux: UTF-8, whatever the process locale;
// a wchar_t that is not a Unicode scalar value (a surrogate, a value above
// 0x10FFFF) becomes '?'. Windows: the ANSI code page, with the system's default
// replacement characters. A null path stays null; a path whose narrowed form does
// not fit kCapacity becomes null and too_long() is set.
void NarrowPath(const wchar_t* wide, NarrowedPath& narrowed) noexcept;

}  // namespace tarvelo
