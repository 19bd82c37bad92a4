#pragma once

#include <string>
#include <vector>

#include "file_bytes.h"

namespace tarvelo::test {

// File helpers that take UTF-16 names, for names outside the ANSI code page
// (ListDirectory<std::wstring> lists them).
Bytes ReadWideFile(const std::wstring& path);  // throws when it cannot be read
void WriteWideFile(const std::wstring& path, const Bytes& bytes);
bool WideFileExists(const std::wstring& path);
std::string ToUtf8(const std::wstring& wide);
std::wstring ToWide(const std::string& utf8);

}  // namespace tarvelo::test
