// Faults at the destination: the disk fills part way through the file, the
// directory is read-only, the destination is a directory, its parent is a file, the
// existing destination is read-only. Each leaves no new or partial file, leaves an
// existing destination as it was, and the status says what happened.
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
#include "file_bytes.h"
#include "image_encoders.h"
#include "scoped_mount.h"
#include "temp_dir.h"
#include "test_images.h"

namespace tarvelo::test {
namespace {

const Bytes kExisting = {'e', 'x', 'i', 's', 't', 'i', 'n', 'g'};

std::wstring Widen(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

class DestinationFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // 256 x 256 RGB: a 196 KiB BMP and a 192 KiB TGA.
    source_ = dir_.File("source.png");
    ASSERT_TRUE(WritePng(source_, MakeTestImage(256, 256, 3)));
  }

  // Converts to `destination` with both layouts and both exports; every attempt
  // must fail with `status` and `detail`, and leave `destination` as `before` (or
  // absent when `before` is null).
  void ExpectRefusedEverywhere(const std::string& destination, TarveloStatus status,
                               const std::string& detail, const Bytes* before) {
    for (const TarveloLayout layout : {TARVELO_LAYOUT_TGA, TARVELO_LAYOUT_BMP}) {
      char text[256] = "unset";
      EXPECT_EQ(TarveloConvert(source_.c_str(), destination.c_str(), layout, text, sizeof text), status);
      EXPECT_EQ(std::string(text), detail);
      ExpectUnchanged(destination, before);
    }
    EXPECT_EQ(BMP2TGA(Widen(source_).c_str(), Widen(destination).c_str()), 999);
    ExpectUnchanged(destination, before);
    EXPECT_EQ(TGA2BMP(Widen(source_).c_str(), Widen(destination).c_str()), 999);
    ExpectUnchanged(destination, before);
  }

  static void ExpectUnchanged(const std::string& destination, const Bytes* before) {
    if (before == nullptr) {
      EXPECT_FALSE(std::filesystem::exists(destination));
    } else {
      EXPECT_EQ(ReadFileBytes(destination), *before);
    }
  }

  TempDir dir_;
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
  ExpectRefusedEverywhere(existing, TARVELO_STATUS_WRITE_FAILED, "No space left on device", &kExisting);
  ExpectRefusedEverywhere(volume + "/new.tga", TARVELO_STATUS_WRITE_FAILED, "No space left on device",
                          nullptr);
  EXPECT_EQ(ListDirectory(volume), std::vector<std::string>{"existing.bmp"});
}

// The same failure without root: the process may not write more than 50000 bytes
// to any file, so the write fails part way with EFBIG. Run in a child process so
// that the limit stays there.
TEST_F(DestinationFaultTest, FileSizeLimitPartWay) {
  const std::string existing = dir_.File("existing.tga");
  WriteFileBytes(existing, kExisting);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
    const struct rlimit limit = {50000, 50000};
    setrlimit(RLIMIT_FSIZE, &limit);
    char detail[256] = "";
    const TarveloStatus status =
        TarveloConvert(source_.c_str(), existing.c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail);
    const bool said_why = std::string(detail) == "File too large";
    _exit(status == TARVELO_STATUS_WRITE_FAILED && said_why ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "expected \"write failed\" with \"File too large\"";
  EXPECT_EQ(ReadFileBytes(existing), kExisting);
  EXPECT_EQ(ListDirectory(dir_.path().string()), (std::vector<std::string>{"existing.tga", "source.png"}));
}

// A process killed while it writes (here by SIGXFSZ, the default action when a
// write passes the file-size limit) cannot clean up after itself: nothing may be
// left behind, neither at the destination nor beside it. Linux creates the file
// without a name until it is complete.
TEST_F(DestinationFaultTest, KilledWhileWritingLeavesNothingBehind) {
#if !defined(__linux__)
  GTEST_SKIP() << "files without a name until they are complete are Linux's";
#endif
  const std::string existing = dir_.File("existing.bmp");
  WriteFileBytes(existing, kExisting);
  for (const TarveloLayout layout : {TARVELO_LAYOUT_TGA, TARVELO_LAYOUT_BMP}) {
    for (const std::string& destination : {existing, dir_.File("new.tga")}) {
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
      EXPECT_EQ(ReadFileBytes(existing), kExisting);
      EXPECT_EQ(ListDirectory(dir_.path().string()),
                (std::vector<std::string>{"existing.bmp", "source.png"}));
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
    ExpectRefusedEverywhere(existing, TARVELO_STATUS_DESTINATION_UNOPENABLE, "Read-only file system",
                            &kExisting);
    ExpectRefusedEverywhere(volume + "/new.bmp", TARVELO_STATUS_DESTINATION_UNOPENABLE,
                            "Read-only file system", nullptr);
    return;
  }
  std::filesystem::permissions(volume,
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  // (An existing writable file there is overwritten in place: InPlace tests.)
  ExpectRefusedEverywhere(volume + "/new.bmp", TARVELO_STATUS_DESTINATION_UNOPENABLE, "Permission denied",
                          nullptr);
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
  for (const TarveloLayout layout : {TARVELO_LAYOUT_TGA, TARVELO_LAYOUT_BMP}) {
    char text[256];
    EXPECT_EQ(TarveloConvert(source_.c_str(), directory.c_str(), layout, text, sizeof text),
              TARVELO_STATUS_DESTINATION_UNOPENABLE);
    EXPECT_STREQ(text, "Is a directory");
  }
  EXPECT_EQ(BMP2TGA(Widen(source_).c_str(), Widen(directory).c_str()), 999);
  EXPECT_TRUE(std::filesystem::is_directory(directory));
  EXPECT_TRUE(ListDirectory(directory).empty());
  EXPECT_EQ(ListDirectory(dir_.path().string()), (std::vector<std::string>{"out.tga", "source.png"}));
}

TEST_F(DestinationFaultTest, DestinationParentIsAFile) {
  const std::string parent = dir_.File("plain-file");
  WriteFileBytes(parent, kExisting);
  ExpectRefusedEverywhere(parent + "/out.tga", TARVELO_STATUS_DESTINATION_UNOPENABLE, "Not a directory",
                          nullptr);
  EXPECT_EQ(ReadFileBytes(parent), kExisting);
}

TEST_F(DestinationFaultTest, ExistingReadOnlyDestination) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "root may write to a read-only file, so the refusal cannot be observed as root";
  }
  const std::string existing = dir_.File("existing.bmp");
  WriteFileBytes(existing, kExisting);
  std::filesystem::permissions(existing, std::filesystem::perms::owner_read);
  ExpectRefusedEverywhere(existing, TARVELO_STATUS_DESTINATION_UNOPENABLE, "Permission denied", &kExisting);
}

}  // namespace
}  // namespace tarvelo::test
