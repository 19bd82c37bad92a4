// Stray temporary files on Windows. A writer holds its temporary file open, sharing
// only its deletion, until the file is in place. One killed before that leaves the
// destination as it was and the temporary file beside it; the next conversion into
// the directory removes it, but only a file whose name, owner and single link prove
// it ours and that nobody holds. A writer killed for real: this program started
// once more, stopped by the tests' seam just before its move into place.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "TarveloConvert.h"
#include "destination_hook.h"
#include "expected_layouts.h"
#include "image_encoders.h"
#include "temp_dir.h"
#include "test_images.h"
#include "wide_files.h"

namespace tarvelo::test {
namespace {

const Bytes kOld = {'o', 'l', 'd'};
constexpr const wchar_t* kSourceVariable = L"TARVELO_TEST_STRAY_SOURCE";
constexpr const wchar_t* kDestinationVariable = L"TARVELO_TEST_STRAY_DESTINATION";
constexpr const wchar_t* kReadyVariable = L"TARVELO_TEST_STRAY_READY";
constexpr const wchar_t* kGoVariable = L"TARVELO_TEST_STRAY_GO";

std::wstring Variable(const wchar_t* name) {
  wchar_t value[1024] = L"";
  const DWORD length = GetEnvironmentVariableW(name, value, 1024);
  return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

// The child: converts into the destination it is given and stops just before the
// finished file is moved into place, having created the ready file, until the go
// file appears.
TEST(StrayWriterWindowsChild, DISABLED_StopsBeforeTheMove) {
  static std::wstring ready;
  static std::wstring go;
  ready = Variable(kReadyVariable);
  go = Variable(kGoVariable);
  const std::wstring source = Variable(kSourceVariable);
  const std::wstring destination = Variable(kDestinationVariable);
  if (ready.empty() || go.empty() || source.empty() || destination.empty()) {
    GTEST_SKIP() << "started by StraySweepWindowsTest only";
  }
  test_seams::SetTemporaryNamedHook([] {
    CloseHandle(CreateFileW(ready.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    while (!WideFileExists(go)) {
      Sleep(10);
    }
  });
  char detail[256] = "";
  EXPECT_EQ(TarveloConvert(ToUtf8(source).c_str(), ToUtf8(destination).c_str(), TARVELO_LAYOUT_TGA, detail,
                           sizeof detail),
            TARVELO_STATUS_CONVERTED)
      << detail;
}

class StraySweepWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    picture_ = MakeTestImage(9, 7, 3);
    source_ = dir_.path().wstring() + L"\\in.png";
    ASSERT_TRUE(WritePng(ToUtf8(source_), picture_));
    // A directory this test has never converted into: its first conversion sweeps.
    out_ = dir_.path().wstring() + L"\\out\\";
    ASSERT_NE(CreateDirectoryW(out_.c_str(), nullptr), 0);
  }
  void TearDown() override { StopWriter(); }

  // One conversion into the directory, which looks for strays there: a process
  // reads a directory for strays only now and then, and the clock is moved on.
  void ConvertInto(const std::wstring& name) const {
    test_seams::ForceNextSweep();
    char detail[256] = "";
    EXPECT_EQ(TarveloConvert(ToUtf8(source_).c_str(), ToUtf8(out_ + name).c_str(), TARVELO_LAYOUT_TGA, detail,
                             sizeof detail),
              TARVELO_STATUS_CONVERTED)
        << detail;
  }

  // Starts this program once more as a writer into out_ + `name`, and waits until
  // it has stopped before its move into place (until LetWriterFinish).
  void StartWriterStoppedBeforeTheMove(const std::wstring& name) {
    const std::wstring ready = dir_.path().wstring() + L"\\ready";
    wchar_t self[MAX_PATH] = L"";
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0U);
    std::wstring command = std::wstring(L"\"") + self +
                           L"\" --gtest_also_run_disabled_tests "
                           L"--gtest_filter=StrayWriterWindowsChild.DISABLED_StopsBeforeTheMove";
    const std::pair<const wchar_t*, std::wstring> variables[] = {{kSourceVariable, source_},
                                                                 {kDestinationVariable, out_ + name},
                                                                 {kReadyVariable, ready},
                                                                 {kGoVariable, go_}};
    for (const auto& [variable, value] : variables) {
      SetEnvironmentVariableW(variable, value.c_str());
    }
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE nowhere = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                                 OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = nowhere;
    startup.hStdError = nowhere;
    PROCESS_INFORMATION process{};
    const BOOL started =
        CreateProcessW(self, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    for (const auto& variable : variables) {
      SetEnvironmentVariableW(variable.first, nullptr);
    }
    CloseHandle(nowhere);
    ASSERT_NE(started, 0) << "CreateProcessW failed: " << GetLastError();
    CloseHandle(process.hThread);
    writer_ = process.hProcess;
    for (int waited = 0; !WideFileExists(ready); waited += 10) {
      ASSERT_LT(waited, 60000) << "the writer did not reach its move";
      ASSERT_EQ(WaitForSingleObject(writer_, 10), static_cast<DWORD>(WAIT_TIMEOUT)) << "the writer ended";
    }
  }

  // Lets the stopped writer go on; whether it then converted.
  bool LetWriterFinish() {
    WriteWideFile(go_, Bytes{'g'});
    DWORD code = 1;
    const bool ended = WaitForSingleObject(writer_, 60000) == WAIT_OBJECT_0;
    const bool read = GetExitCodeProcess(writer_, &code) != 0;
    StopWriter();
    return ended && read && code == 0;
  }

  // Kills the writer, as the system ends a process: nothing of it runs any more.
  void StopWriter() {
    if (writer_ != nullptr) {
      TerminateProcess(writer_, 9);
      WaitForSingleObject(writer_, INFINITE);
      CloseHandle(writer_);
      writer_ = nullptr;
    }
  }

  // The names in out_ that have the temporary pattern.
  [[nodiscard]] std::vector<std::wstring> Temporaries() const {
    std::vector<std::wstring> names;
    for (const std::wstring& name : ListDirectory<std::wstring>(out_)) {
      if (name.front() == L'.') {
        names.push_back(name);
      }
    }
    return names;
  }

  TempDir dir_;
  Image picture_;
  std::wstring source_;
  std::wstring out_;
  std::wstring go_ = dir_.path().wstring() + L"\\go";
  HANDLE writer_ = nullptr;
};

// Not built for 32-bit Windows: our 32-bit tests run in Wine under qemu-i386, where
// a test program that starts processes of its own is not run (docs/platforms.md).
// The 64-bit job runs these two.
#if defined(_WIN64)
// Killed between finishing its temporary file and the move: the destination keeps
// its old bytes, and the temporary file, complete, stays only until the next
// conversion into the directory.
TEST_F(StraySweepWindowsTest, AWriterKilledBeforeTheMoveLeavesTheOldFileAndAStrayThatIsRemoved) {
  WriteWideFile(out_ + L"out.tga", kOld);
  StartWriterStoppedBeforeTheMove(L"out.tga");
  StopWriter();
  EXPECT_EQ(ReadWideFile(out_ + L"out.tga"), kOld);
  const std::vector<std::wstring> strays = Temporaries();
  ASSERT_EQ(strays.size(), 1U);
  EXPECT_EQ(ReadWideFile(out_ + strays[0]), ExpectedTgaFile(picture_));
  ConvertInto(L"out.tga");
  EXPECT_EQ(ListDirectory<std::wstring>(out_), std::vector<std::wstring>{L"out.tga"});
  EXPECT_EQ(ReadWideFile(out_ + L"out.tga"), ExpectedTgaFile(picture_));
}

// A writer that is alive and about to move its file keeps it through another
// conversion's sweep, and then moves it into place.
TEST_F(StraySweepWindowsTest, ATemporaryHeldByALiveWriterIsKept) {
  StartWriterStoppedBeforeTheMove(L"a.tga");
  const std::vector<std::wstring> held = Temporaries();
  ASSERT_EQ(held.size(), 1U);
  ConvertInto(L"b.tga");
  EXPECT_EQ(Temporaries(), held);
  // Not even marked for deletion: a file whose deletion is pending opens for nothing.
  HANDLE attributes =
      CreateFileW((out_ + held[0]).c_str(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(attributes, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(attributes);
  ASSERT_TRUE(LetWriterFinish());
  EXPECT_EQ(ListDirectory<std::wstring>(out_), (std::vector<std::wstring>{L"a.tga", L"b.tga"}));
  EXPECT_EQ(ReadWideFile(out_ + L"a.tga"), ExpectedTgaFile(picture_));
}

#endif

TEST_F(StraySweepWindowsTest, AnUnheldTemporaryOfOursIsRemoved) {
  WriteWideFile(out_ + L".a.tga.tarvelo-0123456789ab.tmp", kOld);
  ConvertInto(L"b.tga");
  EXPECT_EQ(ListDirectory<std::wstring>(out_), std::vector<std::wstring>{L"b.tga"});
}

// Makes the local Administrators group the owner of `path`; whether the file then
// reads back with that owner.
bool GiveToAdministrators(const std::wstring& path) {
  alignas(SID) BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) == 0 ||
      SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                            administrators, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  const bool given = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                           nullptr, nullptr, nullptr, &security) == ERROR_SUCCESS &&
                     EqualSid(owner, administrators) != 0;
  LocalFree(security);
  return given;
}

TEST_F(StraySweepWindowsTest, FilesThatAreNotProvablyOurStraysAreKept) {
  std::vector<std::wstring> kept = {
      L".a.tga.tarvelo-0123456789aB.tmp",   // not our digits
      L".a.tga.tarvelo-0123456789a.tmp",    // too few
      L"a.tga.tarvelo-0123456789ab.tmp",    // no leading dot
      L".a.tga.tarvelo-0123456789ab.tmp~",  // another ending
  };
  for (const std::wstring& name : kept) {
    WriteWideFile(out_ + name, kOld);
  }
  // A second name: not a temporary file alone.
  const std::wstring linked = L".c.tga.tarvelo-aaaaaaaaaaaa.tmp";
  WriteWideFile(out_ + linked, kOld);
  ASSERT_NE(CreateHardLinkW((out_ + L"c.tga").c_str(), (out_ + linked).c_str(), nullptr), 0);
  kept.push_back(linked);
  // A directory, and a read-only file.
  const std::wstring directory = L".d.tga.tarvelo-dddddddddddd.tmp";
  ASSERT_NE(CreateDirectoryW((out_ + directory).c_str(), nullptr), 0);
  kept.push_back(directory);
  const std::wstring read_only = L".e.tga.tarvelo-eeeeeeeeeeee.tmp";
  WriteWideFile(out_ + read_only, kOld);
  ASSERT_NE(SetFileAttributesW((out_ + read_only).c_str(), FILE_ATTRIBUTE_READONLY), 0);
  kept.push_back(read_only);
  // Another owner's, where this system lets the file be given one.
  const std::wstring foreign = L".f.tga.tarvelo-ffffffffffff.tmp";
  WriteWideFile(out_ + foreign, kOld);
  if (GiveToAdministrators(out_ + foreign)) {
    kept.push_back(foreign);
  } else {
    DeleteFileW((out_ + foreign).c_str());
  }
  ConvertInto(L"b.tga");
  for (const std::wstring& name : kept) {
    EXPECT_NE(GetFileAttributesW((out_ + name).c_str()), INVALID_FILE_ATTRIBUTES) << ToUtf8(name);
  }
  SetFileAttributesW((out_ + read_only).c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
}  // namespace tarvelo::test
