// Links in a shared directory (sticky, everyone may write, like /tmp): a link that
// another user planted is not followed, as the kernel's link protection would not
// follow it, so it cannot aim a conversion at a file of the caller's. The caller's
// own links, and those of the directory's owner, are followed as before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "TarveloConvert.h"
#include "TarveloImageTGA.h"
#include "child_process.h"
#include "expected_layouts.h"
#include "file_bytes.h"
#include "image_encoders.h"
#include "temp_dir.h"
#include "test_images.h"
#include "wide_path.h"

namespace tarvelo::test {
namespace {

const Bytes kVictim = {'v', 'i', 'c', 't', 'i', 'm'};

class LinkProtectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "links of another user can only be made as root";
    }
    picture_ = MakeTestImage(5, 3, 3);
    source_ = dir_.File("in.png");
    ASSERT_TRUE(WritePng(source_, picture_));
    victim_ = dir_.File("victim.tga");
    WriteFileBytes(victim_, kVictim);
    shared_ = dir_.File("shared");
    std::filesystem::create_directory(shared_);
    ASSERT_EQ(chmod(shared_.c_str(), 01777), 0);
  }

  // A link at `name` in the shared directory to `target`, owned by `owner`.
  std::string Link(const std::string& name, const std::string& target, uid_t owner) const {
    const std::string link = shared_ + "/" + name;
    EXPECT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(lchown(link.c_str(), owner, owner), 0);
    return link;
  }

  TempDir dir_;
  Image picture_;
  std::string source_;
  std::string victim_;
  std::string shared_;
};

TEST_F(LinkProtectionTest, AnotherUsersLinkIsRefused) {
  const std::string link = Link("out.tga", victim_, kNobody);
  const std::string created = dir_.File("created.tga");
  const std::string dangling = Link("new.tga", created, kNobody);
  for (const std::string& destination : {link, dangling}) {
    for (const TarveloLayout layout : {TARVELO_LAYOUT_TGA, TARVELO_LAYOUT_BMP}) {
      char detail[256] = "";
      EXPECT_EQ(TarveloConvert(source_.c_str(), destination.c_str(), layout, detail, sizeof detail),
                TARVELO_STATUS_DESTINATION_UNOPENABLE);
      EXPECT_STREQ(detail, "Permission denied");
    }
    EXPECT_EQ(BMP2TGA(WidePath(source_).c_str(), WidePath(destination).c_str()), 999);
  }
  EXPECT_EQ(ReadFileBytes(victim_), kVictim);
  EXPECT_FALSE(std::filesystem::exists(created));
  EXPECT_EQ(std::filesystem::read_symlink(link), victim_);
  EXPECT_EQ(ListDirectory(shared_), (std::vector<std::string>{"new.tga", "out.tga"}));
}

// Every component of the path is checked, not the last one alone: another user's
// link to a directory, planted in the shared directory, leads nowhere, at any depth.
TEST_F(LinkProtectionTest, AnotherUsersDirectoryLinkIsRefusedAtAnyDepth) {
  const std::string home = dir_.File("home");
  std::filesystem::create_directories(home + "/sub");
  ASSERT_EQ(chmod(home.c_str(), 0700), 0);
  const std::string link = Link("outdir", home, kNobody);
  for (const std::string& destination :
       {link + "/out.tga", link + "/sub/out.tga", link + "/./sub/../out.tga"}) {
    SCOPED_TRACE(destination);
    char detail[256] = "";
    EXPECT_EQ(TarveloConvert(source_.c_str(), destination.c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail),
              TARVELO_STATUS_DESTINATION_UNOPENABLE);
    EXPECT_STREQ(detail, "Permission denied");
    EXPECT_EQ(BMP2TGA(WidePath(source_).c_str(), WidePath(destination).c_str()), 999);
  }
  EXPECT_EQ(ListDirectory(home), std::vector<std::string>{"sub"});
  EXPECT_TRUE(ListDirectory(home + "/sub").empty());
}

// A batch's output directory in the shared directory, owned by another user who
// renames it away part way and puts a link to the caller's private directory in its
// place: the files after that are refused, none lands in the private directory.
TEST_F(LinkProtectionTest, AnOutputDirectorySwappedForALinkTakesNoMoreFiles) {
  const std::string home = dir_.File("home");
  std::filesystem::create_directory(home);
  ASSERT_EQ(chmod(home.c_str(), 0700), 0);
  const std::string out = shared_ + "/shared-out";
  std::filesystem::create_directory(out);
  ASSERT_EQ(chown(out.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(chmod(out.c_str(), 0777), 0);
  EXPECT_EQ(TarveloConvert(source_.c_str(), (out + "/a.tga").c_str(), TARVELO_LAYOUT_TGA, nullptr, 0),
            TARVELO_STATUS_CONVERTED);
  std::filesystem::rename(out, out + ".old");
  Link("shared-out", home, kNobody);
  char detail[256] = "";
  EXPECT_EQ(
      TarveloConvert(source_.c_str(), (out + "/b.tga").c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail),
      TARVELO_STATUS_DESTINATION_UNOPENABLE);
  EXPECT_STREQ(detail, "Permission denied");
  EXPECT_TRUE(ListDirectory(home).empty());
  EXPECT_EQ(ListDirectory(out + ".old"), std::vector<std::string>{"a.tga"});
}

// A chain is refused at the first link the rule forbids, even after one it allows.
TEST_F(LinkProtectionTest, AChainThroughAnotherUsersLinkIsRefused) {
  const std::string planted = Link("planted.tga", victim_, kNobody);
  const std::string own = Link("own.tga", planted, 0);
  char detail[256] = "";
  EXPECT_EQ(TarveloConvert(source_.c_str(), own.c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail),
            TARVELO_STATUS_DESTINATION_UNOPENABLE);
  EXPECT_STREQ(detail, "Permission denied");
  EXPECT_EQ(ReadFileBytes(victim_), kVictim);
}

TEST_F(LinkProtectionTest, TheCallersOwnLinkIsFollowed) {
  const std::string link = Link("out.tga", victim_, geteuid());
  EXPECT_EQ(TarveloConvert(source_.c_str(), link.c_str(), TARVELO_LAYOUT_TGA, nullptr, 0),
            TARVELO_STATUS_CONVERTED);
  EXPECT_EQ(ReadFileBytes(victim_), ExpectedTgaFile(picture_));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
}

TEST_F(LinkProtectionTest, TheDirectoryOwnersLinkIsFollowed) {
  ASSERT_EQ(chown(shared_.c_str(), kNobody, kNobody), 0);
  const std::string link = Link("out.tga", victim_, kNobody);
  EXPECT_EQ(TarveloConvert(source_.c_str(), link.c_str(), TARVELO_LAYOUT_TGA, nullptr, 0),
            TARVELO_STATUS_CONVERTED);
  EXPECT_EQ(ReadFileBytes(victim_), ExpectedTgaFile(picture_));
}

// Outside a shared directory the owner of a link does not matter.
TEST_F(LinkProtectionTest, AnotherUsersLinkInAnOrdinaryDirectoryIsFollowed) {
  ASSERT_EQ(chmod(shared_.c_str(), 0755), 0);
  const std::string link = Link("out.tga", victim_, kNobody);
  EXPECT_EQ(TarveloConvert(source_.c_str(), link.c_str(), TARVELO_LAYOUT_TGA, nullptr, 0),
            TARVELO_STATUS_CONVERTED);
  EXPECT_EQ(ReadFileBytes(victim_), ExpectedTgaFile(picture_));
}

// A directory the caller holds open and names through /proc/self/fd/N is written
// in directly, as the kernel reaches it, never by looking its name up again: here
// its parent is closed to the writer, so a lookup by name fails.
TEST(HeldDirectoryTest, IsWrittenInWithoutLookingItsNameUpAgain) {
  TempDir dir;
  const std::string parent = dir.File("parent");
  const std::string out = parent + "/out";
  std::filesystem::create_directories(out);
  ASSERT_EQ(chmod(out.c_str(), 0777), 0);
  const Image picture = MakeTestImage(4, 2, 3);
  ASSERT_TRUE(WritePng(out + "/in.png", picture));
  ASSERT_EQ(chmod((out + "/in.png").c_str(), 0644), 0);
  const int held = open(out.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(chmod(parent.c_str(), 0), 0);
  const std::string via = "/proc/self/fd/" + std::to_string(held) + "/";
  const int status = RunInChildAs(kNobody, [&] {
    return TarveloConvert((via + "in.png").c_str(), (via + "a.tga").c_str(), TARVELO_LAYOUT_TGA, nullptr, 0);
  });
  ASSERT_EQ(chmod(parent.c_str(), 0755), 0);
  close(held);
  EXPECT_EQ(status, TARVELO_STATUS_CONVERTED);
  EXPECT_EQ(ReadFileBytes(out + "/a.tga"), ExpectedTgaFile(picture));
}

}  // namespace
}  // namespace tarvelo::test
