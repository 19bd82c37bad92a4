#pragma once

#include <cstdlib>
#include <cwchar>

namespace tarvelo {

// A frozen export's wide path, narrowed as the exports narrow it and then made the
// path the file layer opens, once. It owns its text and frees it. Each system's
// narrowing is in its platform/file_system_*.cpp.
//
// Linux: UTF-8, whatever the process locale; a wchar_t that is not a Unicode scalar
// value (a surrogate, a value above 0x10FFFF) becomes '?'. A path of PATH_MAX bytes
// or more, which no system call takes, is null.
//
// Windows: the system's ANSI code page, through WideCharToMultiByte (code page 0, no
// flags, the whole string with its terminator, no default character) into a buffer
// of 2 x (n + 1) bytes for n units, or the code page's longest character times
// (n + 1) where that is more (the UTF-8 code page needs up to 3 bytes a unit), so
// every path the system allows fits; a character the code page lacks becomes the
// system's replacement (a best-fit letter or '?'), and a conversion that fails
// leaves the empty string. That ANSI text then becomes the file layer's UTF-8. A
// path longer than the system's 32,767 units is null.
//
// Windows CE: the ANSI text itself, code page 0, no flags, in 2 x (n + 1) bytes,
// enough for CE's single- and double-byte code pages; CE's slot widens it once.
class NarrowedPath {
 public:
  explicit NarrowedPath(const wchar_t* wide) noexcept;
  NarrowedPath(const NarrowedPath&) = delete;
  NarrowedPath& operator=(const NarrowedPath&) = delete;
  ~NarrowedPath() { std::free(text_); }

  // Null when the wide path was null, too long for the system, or memory ran out:
  // then nothing may be opened with it.
  [[nodiscard]] const char* c_str() const noexcept { return text_; }

 private:
  char* text_ = nullptr;
};

}  // namespace tarvelo
