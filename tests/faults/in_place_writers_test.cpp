// Overwriting in place, where a replacement cannot be made: concurrent writers take
// turns, so the file ends as exactly one of them wrote it; and in a shared (sticky)
// directory another user's writable file, which may not be replaced, is
// overwritten as a plain open would, still under the link rule.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "TarveloConvert.h"
#include "child_process.h"
#include "expected_layouts.h"
#include "file_bytes.h"
#include "image_encoders.h"
#include "temp_dir.h"
#include "test_images.h"

namespace tarvelo::test {
namespace {

constexpr int kWriters = 8;
constexpr int kRounds = 30;

// The caller (or, as root, kNobody) may read the sources and write `name` in
// `locked`, a directory that admits no new file.
class InPlaceWritersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::permissions(dir_.path(), std::filesystem::perms::all);
    locked_ = dir_.File("locked");
    std::filesystem::create_directory(locked_);
    for (int writer = 0; writer < kWriters; ++writer) {
      // Sizes differ, so that a file mixed from two writers shows in its length too.
      const Image picture = MakeTestImage(150 + writer * 7, 100 + writer, 3);
      sources_.push_back(dir_.File("in" + std::to_string(writer) + ".png"));
      ASSERT_TRUE(WritePng(sources_.back(), picture));
      chmod(sources_.back().c_str(), 0644);
      outputs_.push_back(ExpectedTgaFile(picture));
    }
  }

  TempDir dir_;
  std::string locked_;
  std::vector<std::string> sources_;
  std::vector<Bytes> outputs_;
};

TEST_F(InPlaceWritersTest, ConcurrentWritersLeaveOneWholeFile) {
  const std::string destination = locked_ + "/out.tga";
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_EQ(chmod(locked_.c_str(), 0777), 0);
    WriteFileBytes(destination, Bytes(size_t{100} * 1024, 'x'));
    ASSERT_EQ(chmod(destination.c_str(), 0666), 0);
    ASSERT_EQ(chmod(locked_.c_str(), 0555), 0);
    std::vector<pid_t> writers;
    for (int writer = 0; writer < kWriters; ++writer) {
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        if (geteuid() == 0 && setuid(kNobody) != 0) {
          _exit(99);
        }
        _exit(TarveloConvert(sources_[static_cast<size_t>(writer)].c_str(), destination.c_str(),
                             TARVELO_LAYOUT_TGA, nullptr, 0));
      }
      writers.push_back(child);
    }
    for (const pid_t child : writers) {
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == TARVELO_STATUS_CONVERTED);
    }
    const Bytes left = ReadFileBytes(destination);
    bool whole = false;
    for (const Bytes& output : outputs_) {
      whole = whole || left == output;
    }
    ASSERT_TRUE(whole) << "round " << round << ": " << left.size() << " bytes matching none of the writers";
  }
  EXPECT_EQ(ListDirectory(locked_), std::vector<std::string>{"out.tga"});
}

class StickyDirectoryTest : public InPlaceWritersTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "files of two other users can only be made as root";
    }
    InPlaceWritersTest::SetUp();
    shared_ = dir_.File("shared");
    std::filesystem::create_directory(shared_);
    ASSERT_EQ(chmod(shared_.c_str(), 01777), 0);
  }

  // A file of kSomeoneElse in the shared directory.
  std::string ForeignFile(const std::string& name, const Bytes& bytes, mode_t mode) const {
    const std::string file = shared_ + "/" + name;
    WriteFileBytes(file, bytes);
    EXPECT_EQ(chown(file.c_str(), kSomeoneElse, kSomeoneElse), 0);
    EXPECT_EQ(chmod(file.c_str(), mode), 0);
    return file;
  }

  std::string shared_;
};

TEST_F(StickyDirectoryTest, AnotherUsersWritableFileIsOverwrittenInPlace) {
  // Longer than the new file: its tail must go.
  const std::string file = ForeignFile("out.tga", Bytes(size_t{200} * 1024, 'x'), 0666);
  const int result = RunInChildAs(kNobody, [&] {
    char detail[256] = "";
    return TarveloConvert(sources_[0].c_str(), file.c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail);
  });
  EXPECT_EQ(result, TARVELO_STATUS_CONVERTED);
  EXPECT_EQ(ReadFileBytes(file), outputs_[0]);
  struct stat status {};
  ASSERT_EQ(stat(file.c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, kSomeoneElse);
  EXPECT_EQ(status.st_mode & 07777, 0666U);
  EXPECT_EQ(ListDirectory(shared_), std::vector<std::string>{"out.tga"});
}

TEST_F(StickyDirectoryTest, AnotherUsersReadOnlyFileIsRefused) {
  const Bytes old = {'o', 'l', 'd'};
  const std::string file = ForeignFile("out.tga", old, 0644);
  const int result = RunInChildAs(kNobody, [&] {
    char detail[256] = "";
    const TarveloStatus status =
        TarveloConvert(sources_[0].c_str(), file.c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail);
    return status == TARVELO_STATUS_DESTINATION_UNOPENABLE && std::strcmp(detail, "Permission denied") == 0
               ? 0
               : 1;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(ReadFileBytes(file), old);
  EXPECT_EQ(ListDirectory(shared_), std::vector<std::string>{"out.tga"});
}

// The fallback writes through no link the link rule forbids.
TEST_F(StickyDirectoryTest, AnotherUsersLinkToAWritableFileIsRefused) {
  const Bytes old = {'o', 'l', 'd'};
  const std::string target = ForeignFile("target.tga", old, 0666);
  const std::string link = shared_ + "/out.tga";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_EQ(lchown(link.c_str(), kSomeoneElse, kSomeoneElse), 0);
  const int result = RunInChildAs(kNobody, [&] {
    char detail[256] = "";
    const TarveloStatus status =
        TarveloConvert(sources_[0].c_str(), link.c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail);
    return status == TARVELO_STATUS_DESTINATION_UNOPENABLE && std::strcmp(detail, "Permission denied") == 0
               ? 0
               : 1;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(ReadFileBytes(target), old);
}

}  // namespace
}  // namespace tarvelo::test
