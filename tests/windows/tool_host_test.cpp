// tarvelo-convert.exe as a Windows user runs it: started with CreateProcessW, with
// UTF-16 arguments, its output and errors captured in files. Outputs are compared
// with the library's own conversion of the same bytes.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "TarveloConvert.h"
#include "file_bytes.h"
#include "image_encoders.h"
#include "temp_dir.h"
#include "test_images.h"
#include "wide_files.h"
#include "wide_path.h"

namespace tarvelo::test {
namespace {

struct ToolRun {
  DWORD exit_code = 0;
  Bytes output;
  std::string errors;
};

std::wstring BesideThisProgram(const std::wstring& name) {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + name;
}

HANDLE InheritableFile(const std::wstring& path, bool write) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     &inheritable, write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Runs `tool` with `arguments` (none holds a quote), standard input from `input`
// (or the null device), in `directory`. Fails the test when it runs over a minute.
ToolRun RunTool(const std::wstring& tool, const std::vector<std::wstring>& arguments,
                const std::wstring& directory, const std::wstring& input = L"NUL") {
  std::wstring command_line = L"\"" + tool + L"\"";
  for (const std::wstring& argument : arguments) {
    command_line += L" \"" + argument + L"\"";
  }
  const std::wstring output_path = directory + L"\\stdout.bin";
  const std::wstring error_path = directory + L"\\stderr.txt";
  HANDLE in = InheritableFile(input, false);
  HANDLE out = InheritableFile(output_path, true);
  HANDLE err = InheritableFile(error_path, true);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(tool.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      directory.c_str(), &startup, &process);
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  ToolRun run;
  if (started == 0) {
    ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
    run.exit_code = ~DWORD{0};
    return run;
  }
  if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "the tool ran over a minute";
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  GetExitCodeProcess(process.hProcess, &run.exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  run.output = ReadWideFile(output_path);
  const Bytes errors = ReadWideFile(error_path);
  run.errors.assign(errors.begin(), errors.end());
  return run;
}

extern "C" int TARVELO_CALL AppendBytes(void* context, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  static_cast<Bytes*>(context)->insert(static_cast<Bytes*>(context)->end(), bytes, bytes + size);
  return 1;
}

Bytes LibraryConversion(const Bytes& source, TarveloLayout layout) {
  Bytes converted;
  TarveloOptions options;
  TarveloInitOptions(&options);
  TarveloSource memory{};
  memory.kind = TARVELO_SOURCE_MEMORY;
  memory.data = source.data();
  memory.size = source.size();
  TarveloOutput output{};
  output.kind = TARVELO_OUTPUT_FUNC;
  output.write = AppendBytes;
  output.context = &converted;
  TarveloResult result;
  EXPECT_EQ(TarveloConvertImage(&memory, &output, layout, &options, &result), TARVELO_STATUS_CONVERTED)
      << result.detail;
  return converted;
}

class ToolHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = WidePath(temp_.path().string());
    // Three and four channels, so that both layouts have real work on each.
    const std::string rgb = temp_.File("rgb.png");
    const std::string rgba = temp_.File("rgba.png");
    ASSERT_TRUE(WritePng(rgb, MakeTestImage(13, 7, 3)));
    ASSERT_TRUE(WritePng(rgba, MakeTestImage(9, 11, 4)));
    rgb_ = ReadFileBytes(rgb);
    rgba_ = ReadFileBytes(rgba);
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"TARVELO_TOOL_TEST_CRASH_MARKER", nullptr);
    SetEnvironmentVariableW(L"TARVELO_TOOL_TEST_HANG_MARKER", nullptr);
  }

  [[nodiscard]] std::wstring In(const std::wstring& name) const { return directory_ + L"\\" + name; }

  TempDir temp_;
  std::wstring directory_;
  Bytes rgb_;
  Bytes rgba_;
  const std::wstring tool_ = BesideThisProgram(L"tarvelo-convert.exe");
  const std::wstring hooked_tool_ = BesideThisProgram(L"tarvelo-convert-hooked.exe");
};

// Names outside any ANSI code page reach the library intact, in both directions.
TEST_F(ToolHostTest, SingleFileWithUnicodeNamesIsByteExact) {
  const std::wstring source = In(L"\u00fc\u540d\u0436.png");
  WriteWideFile(source, rgba_);
  for (const auto& [name, layout] : {std::pair{L"\u0436\u540d.tga", TARVELO_LAYOUT_TGA},
                                     std::pair{L"\u00e9\u540d.bmp", TARVELO_LAYOUT_BMP}}) {
    const ToolRun run = RunTool(tool_, {source, In(name)}, directory_);
    EXPECT_EQ(run.exit_code, 0U) << run.errors;
    EXPECT_EQ(ReadWideFile(In(name)), LibraryConversion(rgba_, layout));
  }
}

// Image bytes through standard input and output must not meet text-mode newline
// translation: the PNG signature alone holds CR LF, 0x1A (end of file) and LF.
TEST_F(ToolHostTest, StandardInputToStandardOutputIsByteExact) {
  WriteWideFile(In(L"in.png"), rgb_);
  const ToolRun run = RunTool(tool_, {L"--to", L"bmp", L"-", L"-"}, directory_, In(L"in.png"));
  EXPECT_EQ(run.exit_code, 0U) << run.errors;
  EXPECT_EQ(run.output, LibraryConversion(rgb_, TARVELO_LAYOUT_BMP));
}

TEST_F(ToolHostTest, BatchConvertsEveryFileIntoAUnicodeDirectory) {
  const std::wstring output = In(L"\u51fa\u529b");
  ASSERT_TRUE(CreateDirectoryW(output.c_str(), nullptr));
  WriteWideFile(In(L"one.png"), rgb_);
  WriteWideFile(In(L"\u4e8c.png"), rgba_);
  WriteWideFile(In(L"three.png"), rgb_);
  const ToolRun run = RunTool(
      tool_,
      {L"--to", L"tga", L"-o", output, L"-j", L"2", In(L"one.png"), In(L"\u4e8c.png"), In(L"three.png")},
      directory_);
  EXPECT_EQ(run.exit_code, 0U) << run.errors;
  EXPECT_NE(std::string(run.output.begin(), run.output.end()).find("converted 3 of 3 files"),
            std::string::npos);
  EXPECT_EQ(ReadWideFile(output + L"\\one.tga"), LibraryConversion(rgb_, TARVELO_LAYOUT_TGA));
  EXPECT_EQ(ReadWideFile(output + L"\\\u4e8c.tga"), LibraryConversion(rgba_, TARVELO_LAYOUT_TGA));
  EXPECT_EQ(ReadWideFile(output + L"\\three.tga"), LibraryConversion(rgb_, TARVELO_LAYOUT_TGA));
}

// The layout is what TarveloLayoutFromName says of DEST, also for a DEST named
// just ".tga"; -o with one source and an output's name gets a word on SOURCE DEST.
TEST_F(ToolHostTest, LayoutNamesAreTheLibrarysAndDashOIsADirectory) {
  WriteWideFile(In(L"one.png"), rgb_);
  ToolRun run = RunTool(tool_, {In(L"one.png"), In(L".tga")}, directory_);
  EXPECT_EQ(run.exit_code, 0U) << run.errors;
  EXPECT_EQ(ReadWideFile(In(L".tga")), LibraryConversion(rgb_, TARVELO_LAYOUT_TGA));
  run = RunTool(tool_, {In(L"one.png"), L"-o", In(L"out.bmp")}, directory_);
  EXPECT_EQ(run.exit_code, 2U);
  EXPECT_NE(run.errors.find("-o names an output directory; to convert one file give SOURCE DEST"),
            std::string::npos)
      << run.errors;
  EXPECT_FALSE(WideFileExists(In(L"out.bmp")));
}

// -o checks its directory by its UTF-16 name; -r makes it and the tree below it.
TEST_F(ToolHostTest, MissingOutputDirectoryIsAUsageErrorUnlessRecursiveMakesIt) {
  WriteWideFile(In(L"one.png"), rgb_);
  const ToolRun run =
      RunTool(tool_, {L"--to", L"tga", L"-o", In(L"\u7121\u3044"), In(L"one.png")}, directory_);
  EXPECT_EQ(run.exit_code, 2U);
  EXPECT_NE(run.errors.find("no such directory; create it"), std::string::npos) << run.errors;
  ASSERT_TRUE(CreateDirectoryW(In(L"tree").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(In(L"tree\\\u6728").c_str(), nullptr));
  WriteWideFile(In(L"tree\\\u6728\\two.png"), rgba_);
  const ToolRun tree =
      RunTool(tool_, {L"-r", L"--to", L"tga", L"-o", In(L"\u7121\u3044"), In(L"tree")}, directory_);
  EXPECT_EQ(tree.exit_code, 0U) << tree.errors;
  EXPECT_EQ(ReadWideFile(In(L"\u7121\u3044\\\u6728\\two.tga")), LibraryConversion(rgba_, TARVELO_LAYOUT_TGA));
}

// A batch holds -o open without delete sharing: while it runs, the directory
// cannot be renamed, so nothing can be put in its place.
TEST_F(ToolHostTest, TheOutputDirectoryCannotBeRenamedWhileABatchRuns) {
  SetEnvironmentVariableW(L"TARVELO_TOOL_TEST_SLOW_MARKER", L"slow-");
  const std::wstring output = In(L"out");
  ASSERT_TRUE(CreateDirectoryW(output.c_str(), nullptr));
  WriteWideFile(In(L"slow-a.png"), rgb_);
  WriteWideFile(In(L"b.png"), rgb_);
  ToolRun run;
  std::thread batch([&] {
    run = RunTool(hooked_tool_,
                  {L"--to", L"tga", L"-o", output, L"-j", L"1", In(L"slow-a.png"), In(L"b.png")}, directory_);
  });
  Sleep(1000);
  const BOOL renamed = MoveFileW(output.c_str(), In(L"moved").c_str());
  batch.join();
  SetEnvironmentVariableW(L"TARVELO_TOOL_TEST_SLOW_MARKER", nullptr);
  EXPECT_FALSE(renamed);
  EXPECT_EQ(run.exit_code, 0U) << run.errors;
  EXPECT_EQ(ReadWideFile(output + L"\\b.tga"), LibraryConversion(rgb_, TARVELO_LAYOUT_TGA));
}

// A worker that crashes and one that hangs cost their own file only; with one
// worker at a time, the files after them still convert.
TEST_F(ToolHostTest, CrashingAndHangingSourcesCostOnlyTheirFile) {
  SetEnvironmentVariableW(L"TARVELO_TOOL_TEST_CRASH_MARKER", L"crash-me");
  SetEnvironmentVariableW(L"TARVELO_TOOL_TEST_HANG_MARKER", L"hang-me");
  const std::wstring output = In(L"out");
  ASSERT_TRUE(CreateDirectoryW(output.c_str(), nullptr));
  for (const wchar_t* name : {L"crash-me.png", L"hang-me.png", L"after.png", L"\u540e.png"}) {
    WriteWideFile(In(name), rgb_);
  }
  const ToolRun run = RunTool(hooked_tool_,
                              {L"--to", L"bmp", L"-o", output, L"-j", L"1", L"--timeout", L"2",
                               In(L"crash-me.png"), In(L"hang-me.png"), In(L"after.png"), In(L"\u540e.png")},
                              directory_);
  EXPECT_EQ(run.exit_code, 1U);
  EXPECT_NE(run.errors.find("crash-me.png: decoder crashed (exception 0xC0000005)"), std::string::npos)
      << run.errors;
  EXPECT_NE(run.errors.find("hang-me.png: timed out after 2 s"), std::string::npos) << run.errors;
  EXPECT_NE(std::string(run.output.begin(), run.output.end()).find("converted 2 of 4 files, 2 failed"),
            std::string::npos);
  EXPECT_FALSE(WideFileExists(output + L"\\crash-me.bmp"));
  EXPECT_FALSE(WideFileExists(output + L"\\hang-me.bmp"));
  EXPECT_EQ(ReadWideFile(output + L"\\after.bmp"), LibraryConversion(rgb_, TARVELO_LAYOUT_BMP));
  EXPECT_EQ(ReadWideFile(output + L"\\\u540e.bmp"), LibraryConversion(rgb_, TARVELO_LAYOUT_BMP));
}

// Enough files that the one worker takes them in runs of several: a crash and a
// hang in the middle of a run cost only their own file, the rest of each run is
// converted by a fresh worker, and the worker is reused from run to run.
TEST_F(ToolHostTest, CrashAndHangInTheMiddleOfARunCostOnlyTheirFile) {
  SetEnvironmentVariableW(L"TARVELO_TOOL_TEST_CRASH_MARKER", L"crash-me");
  SetEnvironmentVariableW(L"TARVELO_TOOL_TEST_HANG_MARKER", L"hang-me");
  const std::wstring output = In(L"out");
  ASSERT_TRUE(CreateDirectoryW(output.c_str(), nullptr));
  constexpr int kFiles = 40;
  std::vector<std::wstring> names;
  // The limit runs from the hand-over, a fresh worker's start under Wine included:
  // 5 s keeps a slow start on a loaded machine from timing out a good file.
  std::vector<std::wstring> arguments = {L"--to", L"tga", L"-o", output, L"-j", L"1", L"--timeout", L"5"};
  for (int i = 0; i < kFiles; ++i) {
    std::wstring name = L"f" + std::to_wstring(100 + i);
    name += i == 3 ? L"-crash-me" : (i == 6 ? L"-hang-me" : L"");
    names.push_back(name);
    WriteWideFile(In(name + L".png"), rgb_);
    arguments.push_back(In(name + L".png"));
  }
  const ToolRun run = RunTool(hooked_tool_, arguments, directory_);
  EXPECT_EQ(run.exit_code, 1U);
  EXPECT_NE(run.errors.find("f103-crash-me.png: decoder crashed (exception 0xC0000005)"), std::string::npos)
      << run.errors;
  EXPECT_NE(run.errors.find("f106-hang-me.png: timed out after 5 s"), std::string::npos) << run.errors;
  EXPECT_NE(std::string(run.output.begin(), run.output.end()).find("converted 38 of 40 files, 2 failed"),
            std::string::npos)
      << std::string(run.output.begin(), run.output.end()) << run.errors;
  const Bytes expected = LibraryConversion(rgb_, TARVELO_LAYOUT_TGA);
  for (int i = 0; i < kFiles; ++i) {
    const std::wstring converted = output + L"\\" + names[static_cast<std::size_t>(i)] + L".tga";
    if (i == 3 || i == 6) {
      EXPECT_FALSE(WideFileExists(converted));
    } else {
      EXPECT_EQ(ReadWideFile(converted), expected) << i;
    }
  }
}

// A single file converts in the tool's own process, guarded the same way.
TEST_F(ToolHostTest, SingleFileCrashAndHangAreReported) {
  SetEnvironmentVariableW(L"TARVELO_TOOL_TEST_CRASH_MARKER", L"crash-me");
  SetEnvironmentVariableW(L"TARVELO_TOOL_TEST_HANG_MARKER", L"hang-me");
  WriteWideFile(In(L"crash-me.png"), rgb_);
  WriteWideFile(In(L"hang-me.png"), rgb_);
  ToolRun run = RunTool(hooked_tool_, {In(L"crash-me.png"), In(L"crashed.tga")}, directory_);
  EXPECT_EQ(run.exit_code, 1U);
  EXPECT_NE(run.errors.find("crash-me.png: decoder crashed (exception 0xC0000005)"), std::string::npos)
      << run.errors;
  EXPECT_FALSE(WideFileExists(In(L"crashed.tga")));
  run = RunTool(hooked_tool_, {L"--timeout", L"1", In(L"hang-me.png"), In(L"hung.tga")}, directory_);
  EXPECT_EQ(run.exit_code, 1U);
  EXPECT_NE(run.errors.find("hang-me.png: timed out after 1 s"), std::string::npos) << run.errors;
  EXPECT_FALSE(WideFileExists(In(L"hung.tga")));
}

}  // namespace
}  // namespace tarvelo::test
