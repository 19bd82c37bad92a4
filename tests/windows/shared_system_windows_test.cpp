// What other programs on the machine can do to a conversion, on Windows: a named
// pipe or a device as the source is refused at once, never read; a destination
// that another program holds open without sharing its deletion cannot be replaced,
// so it is overwritten in place, and writers doing that take turns (LockFileEx).
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "TarveloConvert.h"
#include "expected_layouts.h"
#include "image_encoders.h"
#include "temp_dir.h"
#include "test_images.h"
#include "wide_files.h"

namespace tarvelo::test {
namespace {

constexpr int kWriters = 8;
constexpr int kRounds = 10;

// Runs `call` on another thread; a call that has not returned after the watchdog's
// time ends the whole program with a failure rather than hang the suite.
template <typename Call>
auto WithWatchdog(Call call) {
  std::packaged_task<decltype(call())()> task(call);
  auto result = task.get_future();
  std::thread(std::move(task)).detach();
  if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    std::fprintf(stderr, "the call blocked: ending the test program\n");
    std::fflush(stderr);
    std::_Exit(1);
  }
  return result.get();
}

TEST(SpecialSourceWindowsTest, NamedPipeAndDeviceAreRefusedAtOnce) {
  TempDir dir;
  const std::wstring pipe_name = L"\\\\.\\pipe\\tarvelo-source-" + std::to_wstring(GetCurrentProcessId());
  HANDLE server = CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                   4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  const std::string destination = ToUtf8(dir.path().wstring() + L"\\out.tga");
  for (const std::string& source : {ToUtf8(pipe_name), std::string("NUL")}) {
    char detail[256] = "";
    const TarveloStatus status = WithWatchdog([&] {
      return TarveloConvert(source.c_str(), destination.c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail);
    });
    EXPECT_EQ(status, TARVELO_STATUS_SOURCE_UNREADABLE) << source;
    EXPECT_STREQ(detail, "source is not a regular file") << source;
  }
  CloseHandle(server);
  EXPECT_FALSE(WideFileExists(dir.path().wstring() + L"\\out.tga"));
}

class HeldDestinationWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int writer = 0; writer < kWriters; ++writer) {
      const Image picture = MakeTestImage(60 + writer * 7, 40 + writer, 3);
      sources_.push_back(ToUtf8(dir_.path().wstring() + L"\\in" + std::to_wstring(writer) + L".png"));
      ASSERT_TRUE(WritePng(sources_.back(), picture));
      outputs_.push_back(ExpectedTgaFile(picture));
    }
    path_ = dir_.path().wstring() + L"\\out.tga";
    WriteWideFile(path_, Bytes(size_t{64} * 1024, 'x'));
    // Another program reads and writes the file and shares both, not its deletion.
    holder_ = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder_, INVALID_HANDLE_VALUE);
    const std::wstring probe = dir_.path().wstring() + L"\\probe";
    WriteWideFile(probe, Bytes{'p'});
    if (MoveFileExW(probe.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING) != 0) {
      GTEST_SKIP() << "this system replaces a file that is open without delete sharing";
    }
    DeleteFileW(probe.c_str());
  }
  void TearDown() override {
    if (holder_ != INVALID_HANDLE_VALUE) {
      CloseHandle(holder_);
    }
  }

  // What the holder of the file reads now: the bytes of the file it has open.
  Bytes HolderReads() const {
    Bytes bytes(size_t{1} << 20);
    DWORD got = 0;
    SetFilePointer(holder_, 0, nullptr, FILE_BEGIN);
    EXPECT_NE(ReadFile(holder_, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr), 0);
    bytes.resize(got);
    return bytes;
  }

  TempDir dir_;
  std::vector<std::string> sources_;
  std::vector<Bytes> outputs_;
  std::wstring path_;
  HANDLE holder_ = INVALID_HANDLE_VALUE;
};

TEST_F(HeldDestinationWindowsTest, ADestinationThatCannotBeReplacedIsOverwrittenInPlace) {
  char detail[256] = "";
  EXPECT_EQ(
      TarveloConvert(sources_[0].c_str(), ToUtf8(path_).c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail),
      TARVELO_STATUS_CONVERTED)
      << detail;
  // The holder sees the new bytes: the very file it has open was written.
  EXPECT_EQ(HolderReads(), outputs_[0]);
  EXPECT_EQ(ListDirectory<std::wstring>(dir_.path().wstring()).size(), sources_.size() + 1);
}

// Not built for 32-bit Windows: our 32-bit tests run in Wine under qemu-i386, which
// crashes a 32-bit Wine process that runs this test's threads (docs/platforms.md).
// The 64-bit job runs it.
#if defined(_WIN64)
// Every writer falls back to the in-place overwrite at once and waits its turn for
// the file's lock; each succeeds and the file is one of theirs. (Under Wine the
// copies seldom overlap even without the lock: the POSIX test shows the race.)
TEST_F(HeldDestinationWindowsTest, ConcurrentInPlaceWritersLeaveOneWholeFile) {
  const std::string destination = ToUtf8(path_);
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::thread> writers;
    for (int writer = 0; writer < kWriters; ++writer) {
      writers.emplace_back([&, writer] {
        char detail[256] = "";
        EXPECT_EQ(TarveloConvert(sources_[static_cast<size_t>(writer)].c_str(), destination.c_str(),
                                 TARVELO_LAYOUT_TGA, detail, sizeof detail),
                  TARVELO_STATUS_CONVERTED)
            << detail;
      });
    }
    for (std::thread& writer : writers) {
      writer.join();
    }
    const Bytes left = HolderReads();
    bool whole = false;
    for (const Bytes& output : outputs_) {
      whole = whole || left == output;
    }
    ASSERT_TRUE(whole) << "round " << round << ": " << left.size() << " bytes matching none of the writers";
  }
  EXPECT_EQ(ListDirectory<std::wstring>(dir_.path().wstring()).size(), sources_.size() + 1);
}
#endif

}  // namespace
}  // namespace tarvelo::test
