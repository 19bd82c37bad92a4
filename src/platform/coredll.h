#pragma once

// The calls of Windows CE's core library (COREDLL.dll) that the CE build makes,
// declared here as the system's headers are not on the build machine. Every one is
// bound by name through the import library made from platform/coredll.def. wchar_t
// is 16 bits in this build (-fshort-wchar).
#include <cstddef>
#include <cstdint>
#include <cstdio>

extern "C" {
using CeHandle = void*;
using CeDword = uint32_t;
inline constexpr intptr_t kCeInvalidHandle = -1;  // a failed CreateFileW, as an integer
inline constexpr CeDword kCeNoAttributes = 0xFFFFFFFFU;
inline constexpr CeDword kCeReadOnly = 0x1U;
inline constexpr CeDword kCeDirectory = 0x10U;

int WideCharToMultiByte(unsigned code_page, CeDword flags, const wchar_t* wide, int units, char* out,
                        int capacity, const char* fallback, int* used_fallback);
int MultiByteToWideChar(unsigned code_page, CeDword flags, const char* text, int bytes, wchar_t* out,
                        int capacity);
CeDword GetFileAttributesW(const wchar_t* path);
CeHandle CreateFileW(const wchar_t* path, CeDword access, CeDword share, void* security, CeDword creation,
                     CeDword attributes, CeHandle pattern);
int CloseHandle(CeHandle handle);
int MoveFileW(const wchar_t* from, const wchar_t* to);
int DeleteFileW(const wchar_t* path);
// Replaces the existing `target` by `replacement`, whose name then goes.
int DeleteAndRenameFile(const wchar_t* target, const wchar_t* replacement);
CeDword GetLastError();
CeDword GetTickCount();
void Sleep(CeDword milliseconds);
std::FILE* _wfopen(const wchar_t* path, const wchar_t* mode);
}
