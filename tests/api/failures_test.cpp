// Refused conversions through the shared library, as a host sees them: bad sources,
// bad arguments, destinations that cannot be. Every failure leaves no new file and
// no changed file, the exports still return 999, and the status API says what went
// wrong (refusal_fixture.h). The faults of a destination that exists but cannot be
// written are in tests/faults.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "TarveloConvert.h"
#include "TarveloImageTGA.h"
#include "expected_layouts.h"
#include "file_bytes.h"
#include "hand_encoders.h"
#include "image_encoders.h"
#include "refusal_fixture.h"
#include "temp_dir.h"
#include "test_images.h"
#include "wide_path.h"

namespace tarvelo::test {
namespace {

namespace fs = std::filesystem;

unsigned ModeOf(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777U : 0U;
}

class Failures : public RefusalTest {
 protected:
  // The same source failure, onto an existing destination and onto a new one.
  void ExpectSourceRefused(const std::string& source, const char* detail_part) {
    ExpectRefused(source, dir_.File("old.out"), TARVELO_STATUS_SOURCE_UNREADABLE, detail_part);
    ExpectRefused(source, dir_.File("new.out"), TARVELO_STATUS_SOURCE_UNREADABLE, detail_part);
  }
};

TEST_F(Failures, MissingSource) { ExpectSourceRefused(dir_.File("absent.png"), "No such file or directory"); }

TEST_F(Failures, GarbageAndEmptySources) {
  Bytes garbage(700);
  for (size_t i = 0; i < garbage.size(); ++i) {
    garbage[i] = static_cast<uint8_t>((i * 2654435761U) >> 13U);
  }
  WriteFileBytes(dir_.File("garbage.png"), garbage);
  WriteFileBytes(dir_.File("empty.png"), {});
  fs::create_directory(dir_.File("folder.png"));
  Snapshot();
  ExpectSourceRefused(dir_.File("garbage.png"),
                      "not an image format this library reads (JPEG, PNG, BMP, TGA");
  ExpectSourceRefused(dir_.File("empty.png"), "source is empty");
  ExpectSourceRefused(dir_.File("folder.png"), "Is a directory");
}

TEST_F(Failures, TruncatedSources) {
  const Image picture = MakeTestImage(40, 30, 3);
  ASSERT_TRUE(WritePng(dir_.File("full.png"), picture));
  ASSERT_TRUE(WriteJpeg(dir_.File("full.jpg"), picture, 90));
  for (const char* name : {"full.png", "full.jpg"}) {
    Bytes bytes = ReadFileBytes(dir_.File(name));
    for (const size_t kept : {size_t{8}, size_t{30}, bytes.size() / 2}) {
      WriteFileBytes(dir_.File(std::string("cut-") + std::to_string(kept) + "-" + name),
                     Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(kept)));
    }
  }
  Snapshot();
  for (const auto& [name, contents] : before_) {
    if (name.starts_with("cut-")) {
      SCOPED_TRACE(name);
      // Every format, cut anywhere: tests/guard/truncated_sources_test.cpp.
      ExpectSourceRefused(dir_.File(name), "file ends early");
    }
  }
}

TEST_F(Failures, NullPaths) {
  ExpectRefused(std::nullopt, dir_.File("old.out"), TARVELO_STATUS_INVALID_ARGUMENT, "null");
  ExpectRefused(std::nullopt, dir_.File("new.out"), TARVELO_STATUS_INVALID_ARGUMENT, "null");
  ExpectRefused(dir_.File("in.png"), std::nullopt, TARVELO_STATUS_INVALID_ARGUMENT, "null");
  ExpectRefused(std::nullopt, std::nullopt, TARVELO_STATUS_INVALID_ARGUMENT, "null");
}

TEST_F(Failures, UnknownLayout) {
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT,
            TarveloConvert(dir_.File("in.png").c_str(), dir_.File("old.out").c_str(),
                           static_cast<TarveloLayout>(7), nullptr, 0));
  ExpectUnchanged();
}

TEST_F(Failures, DestinationInMissingDirectory) {
  ExpectRefused(dir_.File("in.png"), dir_.File("missing/out.tga"), TARVELO_STATUS_DESTINATION_UNOPENABLE,
                "No such file");
  ExpectRefused(dir_.File("in.png"), "", TARVELO_STATUS_DESTINATION_UNOPENABLE);
}

TEST_F(Failures, ImageTooLargeForTgaStillFitsBmp) {
  // 70001 x 1 grey, as a PGM: a side over 65535, and a BMP row with one pad byte.
  Image wide{70001, 1, 1, Bytes(70001)};
  for (size_t i = 0; i < wide.pixels.size(); ++i) {
    wide.pixels[i] = static_cast<uint8_t>(i * 7);
  }
  const std::string source = dir_.File("wide.pgm");
  ASSERT_TRUE(WritePnm(source, wide));
  Snapshot();

  char detail[128];
  EXPECT_EQ(TARVELO_STATUS_IMAGE_TOO_LARGE, TarveloConvert(source.c_str(), dir_.File("old.out").c_str(),
                                                           TARVELO_LAYOUT_TGA, detail, sizeof detail));
  EXPECT_NE(nullptr, std::strstr(detail, "65535")) << detail;
  EXPECT_EQ(999, BMP2TGA(WidePath(source).c_str(), WidePath(dir_.File("new.tga")).c_str()));
  ExpectUnchanged();

  EXPECT_EQ(999, TGA2BMP(WidePath(source).c_str(), WidePath(dir_.File("old.out")).c_str()));
  EXPECT_EQ(ExpectedBmpFile(wide), ReadFileBytes(dir_.File("old.out")));
}

TEST_F(Failures, DeviceThatIsFull) {
  if (!fs::exists("/dev/full")) {
    GTEST_SKIP() << "/dev/full does not exist on this system";
  }
  fs::create_symlink("/dev/full", dir_.File("full.tga"));
  Snapshot();
  ExpectRefused(dir_.File("in.png"), dir_.File("full.tga"), TARVELO_STATUS_WRITE_FAILED, "No space");
  EXPECT_TRUE(fs::is_symlink(dir_.File("full.tga")));
}

// Successful replacements that must keep what the destination is.
class Replacement : public Failures {};

// /dev/stdout leads through /proc/self/fd/1, whose link text ("pipe:[N]") names no
// path: the pipe is reached only by opening the link itself, and written directly.
TEST_F(Replacement, PipeReachedThroughProcFdIsWritten) {
#if !defined(__linux__)
  GTEST_SKIP() << "/proc/self/fd is Linux's";
#endif
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  const std::string through_proc = "/proc/self/fd/" + std::to_string(ends[1]);
  char detail[128] = "";
  // 6 x 4 RGBA: far less than the pipe holds, so nothing needs to read meanwhile.
  EXPECT_EQ(TARVELO_STATUS_CONVERTED, TarveloConvert(dir_.File("in.png").c_str(), through_proc.c_str(),
                                                     TARVELO_LAYOUT_TGA, detail, sizeof detail))
      << detail;
  close(ends[1]);
  Bytes received;
  unsigned char buffer[4096];
  for (ssize_t got = 0; (got = read(ends[0], buffer, sizeof buffer)) > 0;) {
    received.insert(received.end(), buffer, buffer + got);
  }
  close(ends[0]);
  EXPECT_EQ(TARVELO_STATUS_CONVERTED,
            TarveloConvert(dir_.File("in.png").c_str(), dir_.File("expected.tga").c_str(), TARVELO_LAYOUT_TGA,
                           nullptr, 0));
  EXPECT_EQ(ReadFileBytes(dir_.File("expected.tga")), received);
}

TEST_F(Replacement, SymbolicLinkIsWrittenThrough) {
  fs::create_directory(dir_.File("sub"));
  WriteFileBytes(dir_.File("sub/real.tga"), kOldBytes);
  fs::create_symlink("sub/real.tga", dir_.File("link.tga"));
  fs::create_symlink("sub/later.tga", dir_.File("dangling.tga"));
  EXPECT_EQ(999, BMP2TGA(WidePath(dir_.File("in.png")).c_str(), WidePath(dir_.File("link.tga")).c_str()));
  EXPECT_EQ(TARVELO_STATUS_CONVERTED,
            TarveloConvert(dir_.File("in.png").c_str(), dir_.File("dangling.tga").c_str(), TARVELO_LAYOUT_TGA,
                           nullptr, 0));

  EXPECT_EQ(fs::path("sub/real.tga"), fs::read_symlink(dir_.File("link.tga")));
  EXPECT_EQ(fs::path("sub/later.tga"), fs::read_symlink(dir_.File("dangling.tga")));
  EXPECT_EQ(ExpectedTgaFile(picture_), ReadFileBytes(dir_.File("sub/real.tga")));
  EXPECT_EQ(ExpectedTgaFile(picture_), ReadFileBytes(dir_.File("sub/later.tga")));
  EXPECT_EQ((std::vector<std::string>{"later.tga", "real.tga"}), ListDirectory(dir_.File("sub")));
  EXPECT_EQ((std::vector<std::string>{"dangling.tga", "in.png", "link.tga", "old.out", "sub"}),
            ListDirectory(dir_.path().string()));
}

TEST_F(Replacement, PermissionBitsAreKept) {
  ASSERT_EQ(0, chmod(dir_.File("old.out").c_str(), 0604));
  EXPECT_EQ(999, TGA2BMP(WidePath(dir_.File("in.png")).c_str(), WidePath(dir_.File("old.out")).c_str()));
  EXPECT_EQ(ExpectedBmpFile(picture_), ReadFileBytes(dir_.File("old.out")));
  EXPECT_EQ(0604U, ModeOf(dir_.File("old.out")));

  // A new file gets what a plain creation would give it.
  const mode_t mask = umask(027);
  EXPECT_EQ(999, TGA2BMP(WidePath(dir_.File("in.png")).c_str(), WidePath(dir_.File("new.bmp")).c_str()));
  umask(mask);
  EXPECT_EQ(0640U, ModeOf(dir_.File("new.bmp")));
}

TEST(StatusApi, MessagesAndDetail) {
  std::vector<std::string> messages;
  for (int status = TARVELO_STATUS_CONVERTED; status <= TARVELO_STATUS_INVALID_ARGUMENT; ++status) {
    const char* message = TarveloStatusMessage(static_cast<TarveloStatus>(status));
    ASSERT_NE(nullptr, message);
    EXPECT_NE("", std::string(message));
    EXPECT_EQ(messages.end(), std::find(messages.begin(), messages.end(), message)) << message;
    messages.emplace_back(message);
  }
  EXPECT_STREQ("unknown status", TarveloStatusMessage(static_cast<TarveloStatus>(42)));
  EXPECT_STREQ("source unreadable", TarveloStatusMessage(TARVELO_STATUS_SOURCE_UNREADABLE));

  // The detail is cut to the buffer and always terminated.
  const TempDir dir;
  char detail[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(TARVELO_STATUS_SOURCE_UNREADABLE,
            TarveloConvert(dir.File("absent").c_str(), dir.File("out").c_str(), TARVELO_LAYOUT_BMP, detail,
                           sizeof detail));
  EXPECT_STREQ("No ", detail);
  EXPECT_EQ(
      TARVELO_STATUS_SOURCE_UNREADABLE,
      TarveloConvert(dir.File("absent").c_str(), dir.File("out").c_str(), TARVELO_LAYOUT_BMP, detail, 0));
  EXPECT_STREQ("No ", detail);  // a size of 0 leaves the buffer alone
}

}  // namespace
}  // namespace tarvelo::test
