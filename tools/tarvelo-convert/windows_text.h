#pragma once

#if defined(_WIN32)
#include <string>
#include <vector>

namespace tarvelo::cli {

// The tool works in UTF-8 throughout, as on other systems; Windows names files and
// passes arguments in UTF-16. Invalid input converts to an empty string.
std::wstring WideFromUtf8(const std::string& utf8);
std::string Utf8FromWide(const std::wstring& wide);

// The process's command line, split as the C runtime splits it, in UTF-8: the
// narrow argv would hold the ANSI code page's approximation of any other name.
std::vector<std::string> Utf8Arguments();

// True when `path` names anything (a file, a directory, a dangling link).
bool PathExistsUtf8(const std::string& path);
bool IsDirectoryUtf8(const std::string& path);

}  // namespace tarvelo::cli
#endif
