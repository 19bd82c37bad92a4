// Temporary files and kills. A new destination gets its final name straight away,
// so no temporary name ever shows; a replacement's temporary name shows only for
// the rename. A temporary file that a killed writer left is removed by the next
// conversion into its directory, but only one whose name, owner and released lock
// prove it ours and its writer gone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "TarveloConvert.h"
#include "child_process.h"
#include "destination_hook.h"
#include "expected_layouts.h"
#include "file_bytes.h"
#include "image_encoders.h"
#include "temp_dir.h"
#include "test_images.h"

namespace tarvelo::test {
namespace {

const Bytes kOld = {'o', 'l', 'd'};

// The names that appear in `directory` (created, or moved in) while `work` runs.
template <typename Work>
std::vector<std::string> NamesAppearingDuring(const std::string& directory, Work work) {
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  EXPECT_GE(watch, 0);
  EXPECT_GE(inotify_add_watch(watch, directory.c_str(), IN_CREATE | IN_MOVED_TO), 0);
  work();
  std::vector<std::string> names;
  alignas(inotify_event) char buffer[8192];
  for (ssize_t got = 0; (got = read(watch, buffer, sizeof buffer)) > 0;) {
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      names.emplace_back(event->len > 0 ? event->name : "");
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  close(watch);
  return names;
}

TEST(StrayTemporaryTest, NewDestinationIsNamedOnlyWhenComplete) {
  TempDir dir;
  const Image picture = MakeTestImage(7, 5, 4);
  const std::string source = dir.File("in.png");
  ASSERT_TRUE(WritePng(source, picture));
  const std::string out = dir.File("out");
  std::filesystem::create_directory(out);
  const std::vector<std::string> appeared = NamesAppearingDuring(out, [&] {
    EXPECT_EQ(TarveloConvert(source.c_str(), (out + "/new.tga").c_str(), TARVELO_LAYOUT_TGA, nullptr, 0),
              TARVELO_STATUS_CONVERTED);
  });
  EXPECT_EQ(appeared, std::vector<std::string>{"new.tga"});
  EXPECT_EQ(ReadFileBytes(out + "/new.tga"), ExpectedTgaFile(picture));
}

// A temporary name as the writer makes them, beside `target`.
std::string TemporaryName(const std::string& directory, const std::string& target, const char* digits) {
  return directory + "/." + target + ".tarvelo-" + digits + ".tmp";
}

class StraySweepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = dir_.File("in.png");
    ASSERT_TRUE(WritePng(source_, MakeTestImage(4, 4, 3)));
    // A directory this test has never converted into: its first conversion sweeps.
    out_ = dir_.File("out");
    std::filesystem::create_directory(out_);
  }

  // One conversion into the directory; the strays that were there are then judged.
  // One conversion into the directory, which looks for strays there: a process
  // reads a directory for strays only now and then, and the clock is moved on.
  void ConvertInto(const std::string& name) const {
    test_seams::ForceNextSweep();
    ASSERT_EQ(TarveloConvert(source_.c_str(), (out_ + "/" + name).c_str(), TARVELO_LAYOUT_TGA, nullptr, 0),
              TARVELO_STATUS_CONVERTED);
  }

  TempDir dir_;
  std::string source_;
  std::string out_;
};

TEST_F(StraySweepTest, AnUnlockedTemporaryOfOursIsRemoved) {
  const std::string stray = TemporaryName(out_, "a.tga", "0123456789ab");
  WriteFileBytes(stray, kOld);
  ConvertInto("b.tga");
  EXPECT_EQ(ListDirectory(out_), std::vector<std::string>{"b.tga"});
}

// The writer's lock ends with its process, however it ends: a writer killed with
// SIGKILL while it holds a named temporary file.
TEST_F(StraySweepTest, TheTemporaryOfAKilledWriterIsRemoved) {
  const std::string stray = TemporaryName(out_, "a.tga", "00000000cafe");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    const int descriptor = open(stray.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (descriptor < 0 || flock(descriptor, LOCK_EX) != 0 || write(ready[1], "x", 1) != 1) {
      _exit(1);
    }
    pause();
    _exit(0);
  }
  char signal_byte = 0;
  ASSERT_EQ(read(ready[0], &signal_byte, 1), 1);
  kill(writer, SIGKILL);
  ASSERT_EQ(waitpid(writer, nullptr, 0), writer);
  close(ready[0]);
  close(ready[1]);
  ConvertInto("b.tga");
  EXPECT_EQ(ListDirectory(out_), std::vector<std::string>{"b.tga"});
}

TEST_F(StraySweepTest, ATemporaryHeldByALiveWriterIsKept) {
  const std::string held = TemporaryName(out_, "a.tga", "feedfeedfeed");
  WriteFileBytes(held, kOld);
  const int descriptor = open(held.c_str(), O_RDONLY);
  ASSERT_GE(descriptor, 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  // The lock is held by another process, as a writer in another process holds it.
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    if (flock(descriptor, LOCK_EX) != 0 || write(ready[1], "x", 1) != 1) {
      _exit(1);
    }
    pause();
    _exit(0);
  }
  close(descriptor);  // the child's copy keeps the lock
  char signal_byte = 0;
  ASSERT_EQ(read(ready[0], &signal_byte, 1), 1);
  ConvertInto("b.tga");
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(ReadFileBytes(held), kOld);
}

TEST_F(StraySweepTest, FilesThatAreNotProvablyOurStraysAreKept) {
  std::vector<std::string> kept = {
      TemporaryName(out_, "a.tga", "0123456789aB"),  // not our digits
      TemporaryName(out_, "a.tga", "0123456789a"),   // too few
      out_ + "/a.tga.tarvelo-0123456789ab.tmp",      // no leading dot
      out_ + "/.a.tga.tarvelo-0123456789ab.tmp~",    // another ending
  };
  for (const std::string& name : kept) {
    WriteFileBytes(name, kOld);
  }
  // A second name: not a temporary file alone.
  const std::string linked = TemporaryName(out_, "c.tga", "aaaaaaaaaaaa");
  WriteFileBytes(linked, kOld);
  std::filesystem::create_hard_link(linked, out_ + "/c.tga");
  kept.push_back(linked);
  // Another user's.
  if (geteuid() == 0) {
    const std::string foreign = TemporaryName(out_, "d.tga", "bbbbbbbbbbbb");
    WriteFileBytes(foreign, kOld);
    ASSERT_EQ(chown(foreign.c_str(), kNobody, kNobody), 0);
    kept.push_back(foreign);
  }
  ConvertInto("b.tga");
  for (const std::string& name : kept) {
    EXPECT_TRUE(std::filesystem::exists(name)) << name;
  }
}

// Starts a writer converting `source` into `destination` in a child process, and
// waits until the tests' seam has stopped it between naming its finished file and
// the rename; the child, or -1 when it did not get there.
pid_t StartWriterStoppedBeforeRename(const std::string& source, const std::string& destination) {
  int ready[2];
  if (pipe(ready) != 0) {
    return -1;
  }
  const pid_t writer = fork();
  if (writer == 0) {
    static int ready_end = ready[1];
    test_seams::SetTemporaryNamedHook([] {
      if (write(ready_end, "x", 1) == 1) {
        pause();
      }
      _exit(1);
    });
    _exit(TarveloConvert(source.c_str(), destination.c_str(), TARVELO_LAYOUT_TGA, nullptr, 0));
  }
  close(ready[1]);
  char signal_byte = 0;
  const bool stopped = writer > 0 && read(ready[0], &signal_byte, 1) == 1;
  close(ready[0]);
  if (writer > 0 && !stopped) {
    waitpid(writer, nullptr, 0);
  }
  return stopped ? writer : -1;
}

void KillWriter(pid_t writer) {
  kill(writer, SIGKILL);
  EXPECT_EQ(waitpid(writer, nullptr, 0), writer);
}

// A writer stopped exactly between naming its finished file and the rename: while
// it lives, another conversion's sweep keeps its file; killed there, it leaves the
// old destination whole and the named file, which the next conversion into the
// directory removes.
TEST_F(StraySweepTest, AWriterKilledBetweenNamingAndRenameLeavesTheOldFileAndAStrayThatIsRemoved) {
  const std::string destination = out_ + "/a.tga";
  WriteFileBytes(destination, kOld);
  const pid_t writer = StartWriterStoppedBeforeRename(source_, destination);
  ASSERT_GT(writer, 0) << "the writer did not reach the rename";
  const std::vector<std::string> named = ListDirectory(out_);
  ASSERT_EQ(named.size(), 2U);
  const std::string stray = out_ + "/" + named[0];
  EXPECT_EQ(named[1], "a.tga");
  ConvertInto("b.tga");
  EXPECT_TRUE(std::filesystem::exists(stray)) << "a live writer's file was removed";
  KillWriter(writer);
  EXPECT_EQ(ReadFileBytes(destination), kOld);
  EXPECT_EQ(ReadFileBytes(stray), ExpectedTgaFile(MakeTestImage(4, 4, 3)));
  ConvertInto("a.tga");
  EXPECT_EQ(ListDirectory(out_), (std::vector<std::string>{"a.tga", "b.tga"}));
  EXPECT_EQ(ReadFileBytes(destination), ExpectedTgaFile(MakeTestImage(4, 4, 3)));
}

// Root replacing another user's file gives the replacement that user as owner, so a
// root writer killed before the rename leaves a stray of theirs. Root's sweep
// removes it while the file it was to replace is still there and theirs; another
// user's stray beside a file of someone else's, or beside no file, stays.
TEST_F(StraySweepTest, RootRemovesTheStrayOfAReplacementOfAnotherUsersFile) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to give files to another user";
  }
  const std::string destination = out_ + "/a.tga";
  WriteFileBytes(destination, kOld);
  ASSERT_EQ(chown(destination.c_str(), kNobody, kNobody), 0);
  const pid_t writer = StartWriterStoppedBeforeRename(source_, destination);
  ASSERT_GT(writer, 0) << "the writer did not reach the rename";
  KillWriter(writer);
  const std::string stray = out_ + "/" + ListDirectory(out_)[0];
  struct stat status {};
  ASSERT_EQ(stat(stray.c_str(), &status), 0);
  ASSERT_EQ(status.st_uid, kNobody) << "the replacement took the replaced file's owner";
  // Another user's strays that root cannot tie to a file of theirs.
  const std::string beside_roots = TemporaryName(out_, "c.tga", "cccccccccccc");
  WriteFileBytes(out_ + "/c.tga", kOld);
  const std::string beside_nothing = TemporaryName(out_, "d.tga", "dddddddddddd");
  for (const std::string& foreign : {beside_roots, beside_nothing}) {
    WriteFileBytes(foreign, kOld);
    ASSERT_EQ(chown(foreign.c_str(), kNobody, kNobody), 0);
  }
  ConvertInto("b.tga");
  EXPECT_FALSE(std::filesystem::exists(stray));
  EXPECT_TRUE(std::filesystem::exists(beside_roots));
  EXPECT_TRUE(std::filesystem::exists(beside_nothing));
  EXPECT_EQ(ReadFileBytes(destination), kOld);
}

// A writer killed at any point of replacing a file: the destination has its old or
// its complete new bytes, and whatever temporary file the writer left is gone after
// the next conversion into the directory.
TEST_F(StraySweepTest, KilledAtAnyPointOfAReplacement) {
  const Image picture = MakeTestImage(1500, 1000, 3);
  const std::string big = dir_.File("big.png");
  ASSERT_TRUE(WritePng(big, picture));
  const Bytes expected = ExpectedTgaFile(picture);
  const std::string destination = out_ + "/big.tga";
  for (int round = 0; round < 12; ++round) {
    WriteFileBytes(destination, kOld);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      _exit(TarveloConvert(big.c_str(), destination.c_str(), TARVELO_LAYOUT_TGA, nullptr, 0));
    }
    usleep(static_cast<useconds_t>(round * 4000));
    kill(writer, SIGKILL);
    ASSERT_EQ(waitpid(writer, nullptr, 0), writer);
    const Bytes left = ReadFileBytes(destination);
    EXPECT_TRUE(left == kOld || left == expected) << "round " << round << ": " << left.size() << " bytes";
    ConvertInto("b.tga");
    EXPECT_EQ(ListDirectory(out_), (std::vector<std::string>{"b.tga", "big.tga"})) << "round " << round;
  }
}

}  // namespace
}  // namespace tarvelo::test
