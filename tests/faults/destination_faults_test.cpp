// Faults at the destination: the disk fills or a file-size limit is reached part way
// through the file, the process is killed while writing, the directory is
// read-only, the destination is a directory, its parent is a file, the existing
// destination is read-only. Each leaves no new or partial file, leaves an existing
// destination as it was, and the status says what happened (refusal_fixture.h).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "TarveloConvert.h"
#include "TarveloImageTGA.h"
#include "expected_layouts.h"
#include "file_bytes.h"
#include "image_encoders.h"
#include "refusal_fixture.h"
#include "scoped_mount.h"
#include "test_images.h"
#include "wide_path.h"

namespace tarvelo::test {
namespace {

const Bytes kExisting = {'e', 'x', 'i', 's', 't', 'i', 'n', 'g'};

class DestinationFaultTest : public RefusalTest {
 protected:
  void SetUp() override {
    RefusalTest::SetUp();
    // 256 x 256 RGB: a 196 KiB BMP and a 192 KiB TGA, more than the small volumes
    // and the file-size limits below let through.
    source_ = dir_.File("source.png");
    ASSERT_TRUE(WritePng(source_, MakeTestImage(256, 256, 3)));
    Snapshot();
  }

  std::string source_;
};

TEST_F(DestinationFaultTest, DiskFillingPartWayLeavesNoPartialFileAndKeepsTheOldOne) {
  const std::string volume = dir_.File("volume");
  std::filesystem::create_directory(volume);
  const ScopedTmpfs tmpfs(volume, size_t{64} * 1024);
  if (!tmpfs.ok()) {
    GTEST_SKIP() << tmpfs.why() << "; FileSizeLimitPartWay covers the same path";
  }
  const std::string existing = volume + "/existing.bmp";
  WriteFileBytes(existing, kExisting);
  Snapshot();
  ExpectRefused(source_, existing, TARVELO_STATUS_WRITE_FAILED, "No space left on device");
  ExpectRefused(source_, volume + "/new.tga", TARVELO_STATUS_WRITE_FAILED, "No space left on device");
}

// The same failure without root: the process may not write more than 50000 bytes
// to any file, so the writes fail part way with EFBIG, onto an existing file and
// onto a new one. Run in a child process so that the limit stays there; it reports
// the statuses in its exit code. Without the limit the same conversion succeeds.
TEST_F(DestinationFaultTest, FileSizeLimitPartWay) {
  const std::string existing = dir_.File("old.out");
  const std::string fresh = dir_.File("new.tga");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));  // let the write fail with EFBIG instead
    const struct rlimit limit = {50000, 50000};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
      _exit(100);
    }
    char detail[256] = "";
    const TarveloStatus onto_existing =
        TarveloConvert(source_.c_str(), existing.c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail);
    if (std::string(detail) != "File too large") {
      _exit(101);
    }
    const TarveloStatus onto_new =
        TarveloConvert(source_.c_str(), fresh.c_str(), TARVELO_LAYOUT_BMP, nullptr, 0);
    if (BMP2TGA(WidePath(source_).c_str(), WidePath(fresh).c_str()) != 999) {
      _exit(102);
    }
    _exit(onto_existing * 10 + onto_new);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), TARVELO_STATUS_WRITE_FAILED * 10 + TARVELO_STATUS_WRITE_FAILED)
      << "101: the detail was not \"File too large\"";
  ExpectUnchanged();

  EXPECT_EQ(TARVELO_STATUS_CONVERTED,
            TarveloConvert(source_.c_str(), fresh.c_str(), TARVELO_LAYOUT_TGA, nullptr, 0));
  EXPECT_EQ(ExpectedTgaFile(MakeTestImage(256, 256, 3)), ReadFileBytes(fresh));
}

// A process killed while it writes (here by SIGXFSZ, the default action when a
// write passes the file-size limit) cannot clean up after itself: nothing may be
// left behind, neither at the destination nor beside it. Linux creates the file
// without a name until it is complete.
TEST_F(DestinationFaultTest, KilledWhileWritingLeavesNothingBehind) {
#if !defined(__linux__)
  GTEST_SKIP() << "files without a name until they are complete are Linux's";
#endif
  for (const TarveloLayout layout : {TARVELO_LAYOUT_TGA, TARVELO_LAYOUT_BMP}) {
    for (const std::string& destination : {dir_.File("old.out"), dir_.File("new.tga")}) {
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        const struct rlimit no_core = {0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        static_cast<void>(std::signal(SIGXFSZ, SIG_DFL));
        const struct rlimit limit = {50000, 50000};
        setrlimit(RLIMIT_FSIZE, &limit);
        char detail[256] = "";
        static_cast<void>(
            TarveloConvert(source_.c_str(), destination.c_str(), layout, detail, sizeof detail));
        _exit(0);  // not reached: the write past the limit ends the process
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFSIGNALED(status)) << "the child was meant to die while writing";
      EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
      ExpectUnchanged();
    }
  }
}

TEST_F(DestinationFaultTest, ReadOnlyDirectory) {
  const std::string volume = dir_.File("volume");
  std::filesystem::create_directory(volume);
  const std::string existing = volume + "/existing.tga";
  if (geteuid() == 0) {
    // Root writes through permission bits: make the file system itself read-only.
    ScopedTmpfs tmpfs(volume, size_t{64} * 1024);
    if (!tmpfs.ok()) {
      GTEST_SKIP() << tmpfs.why() << "; as root a read-only mode would not stop the write";
    }
    WriteFileBytes(existing, kExisting);
    if (!tmpfs.MakeReadOnly()) {
      GTEST_SKIP() << tmpfs.why();
    }
    Snapshot();
    ExpectRefused(source_, existing, TARVELO_STATUS_DESTINATION_UNOPENABLE, "Read-only file system");
    ExpectRefused(source_, volume + "/new.bmp", TARVELO_STATUS_DESTINATION_UNOPENABLE,
                  "Read-only file system");
    return;
  }
  std::filesystem::permissions(volume,
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  Snapshot();
  // (An existing writable file there is overwritten in place: InPlace tests.)
  ExpectRefused(source_, existing, TARVELO_STATUS_DESTINATION_UNOPENABLE, "Permission denied");
  ExpectRefused(source_, volume + "/new.bmp", TARVELO_STATUS_DESTINATION_UNOPENABLE, "Permission denied");
  std::filesystem::permissions(volume, std::filesystem::perms::owner_all);
}

// A writable file in a directory that admits no new file: the temporary file cannot
// be made, so the file is overwritten in place. Runs `convert` in a child process,
// which as root gives up its privileges first (root may create files anywhere);
// returns the child's exit status.
template <typename Convert>
int InChildWithoutPrivileges(Convert convert) {
  const pid_t child = fork();
  if (child == 0) {
    constexpr uid_t kNobody = 65534;
    if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
      _exit(99);
    }
    _exit(convert());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A directory nobody but its owner may add to, holding `name` that everyone may write.
std::string LockedDirectoryWithWritableFile(const std::string& directory, const std::string& name,
                                            const Bytes& bytes) {
  const std::string file = directory + "/" + name;
  WriteFileBytes(file, bytes);
  std::filesystem::permissions(file, std::filesystem::perms::all & ~std::filesystem::perms::owner_exec &
                                         ~std::filesystem::perms::group_exec &
                                         ~std::filesystem::perms::others_exec);
  std::filesystem::permissions(directory,
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
                                   std::filesystem::perms::group_read | std::filesystem::perms::group_exec |
                                   std::filesystem::perms::others_read | std::filesystem::perms::others_exec);
  return file;
}

TEST_F(DestinationFaultTest, InPlaceWhenTheDirectoryAdmitsNoNewFile) {
  const std::string volume = dir_.File("locked");
  std::filesystem::create_directory(volume);
  // Longer than any new file: the overwrite must also cut the old tail off.
  const Bytes longer(size_t{300} * 1024, 'x');
  const std::string existing = LockedDirectoryWithWritableFile(volume, "existing.tga", longer);
  const std::string other_name = dir_.File("hard-link.tga");
  std::filesystem::create_hard_link(existing, other_name);
  std::filesystem::permissions(source_, std::filesystem::perms::others_read,
                               std::filesystem::perm_options::add);
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);

  for (const TarveloLayout layout : {TARVELO_LAYOUT_BMP, TARVELO_LAYOUT_TGA}) {
    const int status = InChildWithoutPrivileges([&] {
      char detail[256] = "";
      const TarveloStatus result =
          TarveloConvert(source_.c_str(), existing.c_str(), layout, detail, sizeof detail);
      return result == TARVELO_STATUS_CONVERTED ? 0 : 1;
    });
    EXPECT_EQ(status, 0) << "layout " << layout;
    char unused[8];
    const TarveloStatus reference =
        TarveloConvert(source_.c_str(), dir_.File("reference").c_str(), layout, unused, sizeof unused);
    ASSERT_EQ(reference, TARVELO_STATUS_CONVERTED);
    EXPECT_EQ(ReadFileBytes(existing), ReadFileBytes(dir_.File("reference")));
    // The same file was written, so its other name sees the new bytes too.
    EXPECT_EQ(ReadFileBytes(other_name), ReadFileBytes(dir_.File("reference")));
  }
  EXPECT_EQ(ListDirectory(volume), std::vector<std::string>{"existing.tga"});
  std::filesystem::permissions(volume, std::filesystem::perms::owner_all);
}

// In place, a disk too small for the new file fails before the old bytes are touched.
TEST_F(DestinationFaultTest, InPlaceOnAFullDiskKeepsTheOldFile) {
  const std::string volume = dir_.File("volume");
  std::filesystem::create_directory(volume);
  const ScopedTmpfs tmpfs(volume, size_t{64} * 1024);
  if (!tmpfs.ok()) {
    GTEST_SKIP() << tmpfs.why();
  }
  const std::string existing = LockedDirectoryWithWritableFile(volume, "existing.bmp", kExisting);
  std::filesystem::permissions(source_, std::filesystem::perms::others_read,
                               std::filesystem::perm_options::add);
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
  const int status = InChildWithoutPrivileges([&] {
    char detail[256] = "";
    const TarveloStatus result =
        TarveloConvert(source_.c_str(), existing.c_str(), TARVELO_LAYOUT_BMP, detail, sizeof detail);
    return result == TARVELO_STATUS_WRITE_FAILED && std::string(detail) == "No space left on device" ? 0 : 1;
  });
  EXPECT_EQ(status, 0) << "expected \"write failed\" with \"No space left on device\"";
  EXPECT_EQ(ReadFileBytes(existing), kExisting);
  EXPECT_EQ(ListDirectory(volume), std::vector<std::string>{"existing.bmp"});
}

TEST_F(DestinationFaultTest, DestinationIsADirectory) {
  const std::string directory = dir_.File("out.tga");
  std::filesystem::create_directory(directory);
  WriteFileBytes(directory + "/inside", kExisting);
  Snapshot();
  ExpectRefused(source_, directory, TARVELO_STATUS_DESTINATION_UNOPENABLE, "Is a directory");
  EXPECT_TRUE(std::filesystem::is_directory(directory));
}

TEST_F(DestinationFaultTest, DestinationParentIsAFile) {
  const std::string parent = dir_.File("plain-file");
  WriteFileBytes(parent, kExisting);
  Snapshot();
  ExpectRefused(source_, parent + "/out.tga", TARVELO_STATUS_DESTINATION_UNOPENABLE, "Not a directory");
}

TEST_F(DestinationFaultTest, ExistingReadOnlyDestination) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "root may write to a read-only file, so the refusal cannot be observed as root";
  }
  const std::string existing = dir_.File("old.out");
  std::filesystem::permissions(existing, std::filesystem::perms::owner_read);
  ExpectRefused(source_, existing, TARVELO_STATUS_DESTINATION_UNOPENABLE, "Permission denied");
  EXPECT_EQ(std::filesystem::status(existing).permissions(), std::filesystem::perms::owner_read);
}

}  // namespace
}  // namespace tarvelo::test
