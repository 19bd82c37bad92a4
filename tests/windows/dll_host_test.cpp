// A host program as Windows applications use the library: it loads
// TarveloImageTGA.dll with LoadLibraryW, finds BMP2TGA and TGA2BMP by ordinal (1
// and 2) as hosts do, and the later exports by name and by ordinal, converts real
// files through them, checks the calling convention on 32-bit x86, and reads the
// version record and the string table from the DLL's resources. The same program
// runs as a 64-bit and as a 32-bit host.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "TarveloConvert.h"
#include "TarveloImageTGA.h"
#include "TarveloVersion.h"
#include "expected_layouts.h"
#include "image_encoders.h"
#include "temp_dir.h"
#include "test_images.h"
#include "wide_files.h"

namespace tarvelo::test {
namespace {

using ConvertFunction = int32_t(TARVELO_CALL*)(const wchar_t*, const wchar_t*);
using StatusConvertFunction = TarveloStatus(TARVELO_CALL*)(const char*, const char*, TarveloLayout, char*,
                                                           size_t);
using VersionRecordFunction = const TarveloVersionRecord*(TARVELO_CALL*)();
using ResourceStringFunction = const char*(TARVELO_CALL*)(uint32_t);

constexpr int32_t kExportResult = 999;

// The DLL beside this program.
std::wstring DllPath() {
  std::wstring path(MAX_PATH, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"TarveloImageTGA.dll";
}

template <typename Function>
Function Export(HMODULE module, const char* name_or_ordinal) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name_or_ordinal)));
}

class DllHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryW(DllPath().c_str());
    ASSERT_NE(module_, nullptr) << "LoadLibraryW failed: " << GetLastError();
    bmp2tga_ = Export<ConvertFunction>(module_, MAKEINTRESOURCEA(1));
    tga2bmp_ = Export<ConvertFunction>(module_, MAKEINTRESOURCEA(2));
    ASSERT_NE(bmp2tga_, nullptr);
    ASSERT_NE(tga2bmp_, nullptr);
  }
  void TearDown() override {
    if (module_ != nullptr) {
      FreeLibrary(module_);
    }
  }

  [[nodiscard]] std::wstring PathInDir(const std::wstring& name) const {
    return dir_.path().wstring() + L"\\" + name;
  }
  // Writes `image` as a PNG source named `name` (any characters).
  std::wstring MakeSource(const std::wstring& name, const Image& image) const {
    const std::string ascii = dir_.File("encoding.png");
    EXPECT_TRUE(WritePng(ascii, image));
    std::wstring path = PathInDir(name);
    EXPECT_NE(MoveFileExW(ToWide(ascii).c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING), 0);
    return path;
  }

  // Converts `image`, as a PNG source, with both exports, and expects the exact files.
  void ExpectBothExportsWrite(const Image& image, const std::wstring& source_name,
                              const std::wstring& tga_name, const std::wstring& bmp_name) const {
    const std::wstring source = MakeSource(source_name, image);
    const std::wstring tga = PathInDir(tga_name);
    const std::wstring bmp = PathInDir(bmp_name);
    EXPECT_EQ(bmp2tga_(source.c_str(), tga.c_str()), kExportResult);
    EXPECT_EQ(tga2bmp_(source.c_str(), bmp.c_str()), kExportResult);
    EXPECT_EQ(ReadWideFile(tga), ExpectedTgaFile(image));
    EXPECT_EQ(ReadWideFile(bmp), ExpectedBmpFile(image));
  }

  HMODULE module_ = nullptr;
  ConvertFunction bmp2tga_ = nullptr;
  ConvertFunction tga2bmp_ = nullptr;
  TempDir dir_;
};

TEST_F(DllHostTest, ExportTableNamesTheModuleAndPinsBothOrdinals) {
  // The export directory of the loaded image.
  const auto* base = reinterpret_cast<const uint8_t*>(module_);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(entry.VirtualAddress, 0U);
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  EXPECT_STREQ(reinterpret_cast<const char*>(base + exports->Name), "TARVELOIMAGETGA.dll");

  EXPECT_EQ(Export<ConvertFunction>(module_, "BMP2TGA"), bmp2tga_);
  EXPECT_EQ(Export<ConvertFunction>(module_, "TGA2BMP"), tga2bmp_);
  const std::vector<std::string> later = {
      "TarveloConvert",        "TarveloStatusMessage",     "TarveloGetVersionRecord",
      "TarveloGetVersionText", "TarveloGetResourceString", "TarveloLibraryVersion",
      "TarveloInitOptions",    "TarveloConvertImage",      "TarveloFree",
      "TarveloReadInfo",       "TarveloLayoutFromName",    "TarveloLayoutNames"};
  for (size_t i = 0; i < later.size(); ++i) {
    const WORD ordinal = static_cast<WORD>(3 + i);
    void* by_name = Export<void*>(module_, later[i].c_str());
    EXPECT_NE(by_name, nullptr) << later[i];
    EXPECT_EQ(Export<void*>(module_, MAKEINTRESOURCEA(ordinal)), by_name) << later[i];
  }
  EXPECT_EQ(exports->NumberOfNames, 2U + later.size());
  EXPECT_EQ(Export<void*>(module_, MAKEINTRESOURCEA(3 + later.size())), nullptr);
}

TEST_F(DllHostTest, BothExportsWriteExactFilesForEveryChannelCountAndRowPad) {
  struct Case {
    int width, height, channels;
  };
  for (const Case c : {Case{4, 3, 3}, Case{5, 2, 4}, Case{6, 3, 1}, Case{7, 2, 2}}) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << "x" << c.channels);
    ExpectBothExportsWrite(MakeTestImage(c.width, c.height, c.channels), L"source.png", L"out.tga",
                           L"out.bmp");
  }
}

#if defined(__i386__)
// Calls `function` with two pointer arguments pushed here, and returns how many of
// their bytes the callee removed from the stack: none under the C convention
// (the caller removes them), 8 under stdcall.
int CalleeRemovedBytes(void* function, const void* first, const void* second, int32_t* result) {
  int32_t returned = 0;
  int left_on_stack = 0;
  __asm__ volatile(
      "movl %%esp, %%esi\n\t"
      "pushl %[second]\n\t"
      "pushl %[first]\n\t"
      "call *%[function]\n\t"
      "movl %%esi, %%ecx\n\t"
      "subl %%esp, %%ecx\n\t"
      "movl %%esi, %%esp\n\t"
      : "=a"(returned), "=c"(left_on_stack)
      // The callee keeps ebx and edi (and esi, which holds the stack pointer); the
      // second argument is read from memory before the stack pointer moves.
      : [function] "D"(function), [first] "b"(first), [second] "m"(second)
      : "esi", "edx", "memory", "cc");
  *result = returned;
  return 8 - left_on_stack;
}

TEST_F(DllHostTest, ExportsUseTheCCallingConventionOn32BitX86) {
  const Image image = MakeTestImage(3, 2, 3);
  const std::wstring source = MakeSource(L"convention.png", image);
  const std::wstring tga = PathInDir(L"convention.tga");
  const std::wstring bmp = PathInDir(L"convention.bmp");
  int32_t result = 0;
  EXPECT_EQ(CalleeRemovedBytes(reinterpret_cast<void*>(bmp2tga_), source.c_str(), tga.c_str(), &result), 0);
  EXPECT_EQ(result, kExportResult);
  EXPECT_EQ(CalleeRemovedBytes(reinterpret_cast<void*>(tga2bmp_), source.c_str(), bmp.c_str(), &result), 0);
  EXPECT_EQ(result, kExportResult);
  EXPECT_EQ(ReadWideFile(tga), ExpectedTgaFile(image));
  EXPECT_EQ(ReadWideFile(bmp), ExpectedBmpFile(image));
}
#endif

TEST_F(DllHostTest, PathsWithAnAnsiLetterOutsideAsciiConvert) {
  ASSERT_EQ(GetACP(), 1252U) << "the ANSI code page must be 1252 (Wine: LC_ALL=C.UTF-8)";
  ExpectBothExportsWrite(MakeTestImage(3, 2, 4), L"caf\u00e9.png", L"r\u00e9sum\u00e9.tga",
                         L"\u00e9t\u00e9.bmp");
}

TEST_F(DllHostTest, ExportsNarrowNamesOutsideTheCodePageToReplacements) {
  // The exports go through the ANSI code page: "Жук.png" becomes "???.png", which
  // names no file, and a destination "Ж.tga" becomes an invalid name.
  const Image image = MakeTestImage(3, 2, 3);
  const std::wstring source = MakeSource(L"\u0416\u0443\u043a.png", image);
  EXPECT_EQ(bmp2tga_(source.c_str(), PathInDir(L"out.tga").c_str()), kExportResult);
  const std::wstring ascii_source = MakeSource(L"plain.png", image);
  EXPECT_EQ(tga2bmp_(ascii_source.c_str(), PathInDir(L"\u0416.bmp").c_str()), kExportResult);
  EXPECT_EQ(ListDirectory<std::wstring>(dir_.path().wstring()),
            (std::vector<std::wstring>{L"plain.png", L"\u0416\u0443\u043a.png"}));
}

TEST_F(DllHostTest, StatusApiOpensNamesOutsideTheCodePage) {
  const auto convert = Export<StatusConvertFunction>(module_, "TarveloConvert");
  ASSERT_NE(convert, nullptr);
  const Image image = MakeTestImage(5, 3, 3);
  const std::wstring source = MakeSource(L"\u0416\u0443\u043a.png", image);
  const std::wstring bmp = PathInDir(L"\u6f22\u5b57.bmp");
  char detail[128] = "unset";
  EXPECT_EQ(convert(ToUtf8(source).c_str(), ToUtf8(bmp).c_str(), TARVELO_LAYOUT_BMP, detail, sizeof detail),
            TARVELO_STATUS_CONVERTED);
  EXPECT_STREQ(detail, "");
  EXPECT_EQ(ReadWideFile(bmp), ExpectedBmpFile(image));
}

// The reasons read as on Linux: a directory is "Is a directory" (Windows itself
// says "Permission denied"), an empty file "source is empty".
TEST_F(DllHostTest, SourceReasonsAreTheSameAsOnLinux) {
  const auto convert = Export<StatusConvertFunction>(module_, "TarveloConvert");
  ASSERT_NE(convert, nullptr);
  const std::wstring folder = PathInDir(L"folder.png");
  ASSERT_NE(CreateDirectoryW(folder.c_str(), nullptr), 0);
  const std::wstring empty = PathInDir(L"empty.png");
  WriteWideFile(empty, {});
  const std::pair<std::wstring, const char*> cases[] = {{folder, "Is a directory"},
                                                        {empty, "source is empty"}};
  for (const auto& [source, reason] : cases) {
    char detail[128] = "unset";
    EXPECT_EQ(convert(ToUtf8(source).c_str(), ToUtf8(PathInDir(L"out.tga")).c_str(), TARVELO_LAYOUT_TGA,
                      detail, sizeof detail),
              TARVELO_STATUS_SOURCE_UNREADABLE);
    EXPECT_STREQ(detail, reason);
  }
  EXPECT_EQ(GetFileAttributesW(PathInDir(L"out.tga").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(DllHostTest, FailuresReturn999AndLeaveAnExistingDestinationAlone) {
  const std::wstring corrupt = PathInDir(L"corrupt.png");
  WriteWideFile(corrupt, {0x89, 'P', 'N', 'G', 0, 1, 2});
  const std::wstring destination = PathInDir(L"keep.tga");
  const Bytes kept = {'k', 'e', 'e', 'p'};
  WriteWideFile(destination, kept);
  EXPECT_EQ(bmp2tga_(corrupt.c_str(), destination.c_str()), kExportResult);
  EXPECT_EQ(bmp2tga_(PathInDir(L"missing.png").c_str(), destination.c_str()), kExportResult);
  EXPECT_EQ(bmp2tga_(nullptr, destination.c_str()), kExportResult);
  const std::wstring source = MakeSource(L"good.png", MakeTestImage(2, 2, 3));
  EXPECT_EQ(tga2bmp_(source.c_str(), nullptr), kExportResult);
  EXPECT_EQ(tga2bmp_(source.c_str(), PathInDir(L"absent\\out.bmp").c_str()), kExportResult);
  EXPECT_EQ(ReadWideFile(destination), kept);
  EXPECT_EQ(ListDirectory<std::wstring>(dir_.path().wstring()),
            (std::vector<std::wstring>{L"corrupt.png", L"good.png", L"keep.tga"}));
}

TEST_F(DllHostTest, VersionResourceHoldsTheRecordAndMatchesTheCodesTable) {
  const std::wstring dll = DllPath();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(dll.c_str(), &ignored);
  ASSERT_GT(size, 0U);
  std::vector<uint8_t> block(size);
  ASSERT_NE(GetFileVersionInfoW(dll.c_str(), 0, size, block.data()), 0);

  void* value = nullptr;
  UINT length = 0;
  ASSERT_NE(VerQueryValueW(block.data(), L"\\", &value, &length), 0);
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  const auto* code = Export<VersionRecordFunction>(module_, "TarveloGetVersionRecord")();
  const auto packed = [](const uint16_t* parts) {
    return std::vector<DWORD>{static_cast<DWORD>(parts[0] << 16U | parts[1]),
                              static_cast<DWORD>(parts[2] << 16U | parts[3])};
  };
  EXPECT_EQ((std::vector<DWORD>{fixed->dwFileVersionMS, fixed->dwFileVersionLS}), packed(code->file_version));
  EXPECT_EQ((std::vector<DWORD>{fixed->dwProductVersionMS, fixed->dwProductVersionLS}),
            packed(code->product_version));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000U);  // 1.0
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001U);  // .0.1
  EXPECT_EQ(fixed->dwFileFlagsMask, 0x3FU);
  EXPECT_EQ(fixed->dwFileFlags, 0U);
  EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
  EXPECT_EQ(fixed->dwFileSubtype, 0U);

  ASSERT_NE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length), 0);
  ASSERT_EQ(length, 4U);
  const auto* translation = static_cast<const WORD*>(value);
  EXPECT_EQ(translation[0], 0x409);
  EXPECT_EQ(translation[1], 1200);

  const std::map<std::wstring, std::wstring> expected = {
      {L"CompanyName", L""},
      {L"FileDescription", L"TarveloImageTGA DLL"},
      {L"FileVersion", L"1, 0, 0, 1"},
      {L"InternalName", L"TarveloImageTGA"},
      {L"LegalTrademarks", L""},
      {L"OriginalFilename", L"TarveloImageTGA.DLL"},
      {L"ProductName", L"TarveloImageTGA Dynamic Link Library"},
      {L"ProductVersion", L"1, 0, 0, 1"},
      {L"OLESelfRegister", L""},
  };
  for (const auto& [name, text] : expected) {
    const std::wstring query = L"\\StringFileInfo\\040904B0\\" + name;
    ASSERT_NE(VerQueryValueW(block.data(), query.c_str(), &value, &length), 0) << ToUtf8(name);
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(value)), text) << ToUtf8(name);
  }
  // Every value of the code's table, LegalCopyright included, is in the resource.
  ASSERT_EQ(code->string_count, expected.size() + 1);
  for (size_t i = 0; i < code->string_count; ++i) {
    const std::wstring query = L"\\StringFileInfo\\040904B0\\" + ToWide(code->strings[i].name);
    ASSERT_NE(VerQueryValueW(block.data(), query.c_str(), &value, &length), 0) << code->strings[i].name;
    EXPECT_EQ(ToUtf8(static_cast<const wchar_t*>(value)), code->strings[i].value);
  }
}

TEST_F(DllHostTest, StringTableHoldsEntry101) {
  wchar_t text[128] = {};
  ASSERT_GT(LoadStringW(module_, 101, text, 128), 0);
  EXPECT_STREQ(text, L"Windows sockets initialization failed.");
  EXPECT_EQ(LoadStringW(module_, 102, text, 128), 0);
  const auto from_code = Export<ResourceStringFunction>(module_, "TarveloGetResourceString");
  ASSERT_NE(from_code, nullptr);
  EXPECT_EQ(ToWide(from_code(101)), std::wstring(L"Windows sockets initialization failed."));
}

TEST_F(DllHostTest, UnloadingAndLoadingAgainWorks) {
  // Each load runs the module's attach, each unload its detach.
  for (int round = 0; round < 3; ++round) {
    ASSERT_NE(FreeLibrary(module_), 0);
    module_ = LoadLibraryW(DllPath().c_str());
    ASSERT_NE(module_, nullptr);
  }
  const auto bmp2tga = Export<ConvertFunction>(module_, "BMP2TGA");
  const Image image = MakeTestImage(2, 2, 3);
  const std::wstring source = MakeSource(L"again.png", image);
  EXPECT_EQ(bmp2tga(source.c_str(), PathInDir(L"again.tga").c_str()), kExportResult);
  EXPECT_EQ(ReadWideFile(PathInDir(L"again.tga")), ExpectedTgaFile(image));
}

}  // namespace
}  // namespace tarvelo::test
