#pragma once

#include "platform/path_text.h"

namespace tarvelo {

// The library's file layer takes UTF-8 paths; Windows opens files by their UTF-16
// names, so that any name works, not only those of the ANSI code page. Converts
// zero-terminated UTF-8 into `wide`; false when the text is not valid UTF-8 or
// memory runs out.
bool Utf8ToWide(const char* utf8, platform::PathText<wchar_t>& wide) noexcept;

}  // namespace tarvelo
