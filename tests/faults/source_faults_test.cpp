// Faults at the source between the guard's check and the decode: the file vanishes,
// shrinks, or is rewritten in place. The conversion reads one open file throughout
// and compares its identity before and after decoding, so each case is refused as a
// changed source: no file is written and an existing destination keeps its bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "TarveloConvert.h"
#include "TarveloImageTGA.h"
#include "api/source_check_hook.h"
#include "file_bytes.h"
#include "image_encoders.h"
#include "temp_dir.h"
#include "test_images.h"

namespace tarvelo::test {
namespace {

const Bytes kExisting = {'o', 'l', 'd'};
constexpr const char* kChanged = "source changed while it was being read";

enum class Change { kVanish, kShrink, kRewrite };

struct HookContext {
  std::string path;
  Change change;
};

void ChangeSource(void* context) {
  const auto* hook = static_cast<const HookContext*>(context);
  switch (hook->change) {
    case Change::kVanish: std::filesystem::remove(hook->path); break;
    case Change::kShrink:
      std::filesystem::resize_file(hook->path, std::filesystem::file_size(hook->path) / 2);
      break;
    case Change::kRewrite: {
      // Same size, other bytes: a truncated TGA header the guard would have refused.
      const int descriptor = open(hook->path.c_str(), O_WRONLY);
      const uint8_t bytes[4] = {0, 0, 2, 0};
      ASSERT_EQ(pwrite(descriptor, bytes, sizeof bytes, 0), static_cast<ssize_t>(sizeof bytes));
      close(descriptor);
      break;
    }
  }
}

class SourceFaultTest : public ::testing::TestWithParam<Change> {
 protected:
  void SetUp() override {
    source_ = dir_.File("source.tga");
    ASSERT_TRUE(WriteTga(source_, MakeTestImage(64, 48, 3), false));
    // An old modification time, so that any write now is visible even within the
    // clock tick in which the file was made.
    const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, source_.c_str(), old, 0), 0);
    context_ = {source_, GetParam()};
    testing::SetSourceCheckedHook(ChangeSource, &context_);
  }
  void TearDown() override { testing::SetSourceCheckedHook(nullptr, nullptr); }

  TempDir dir_;
  std::string source_;
  HookContext context_;
};

TEST_P(SourceFaultTest, StatusApiRefusesAChangedSource) {
  const std::string destination = dir_.File("out.bmp");
  char detail[256];
  EXPECT_EQ(TarveloConvert(source_.c_str(), destination.c_str(), TARVELO_LAYOUT_BMP, detail, sizeof detail),
            TARVELO_STATUS_SOURCE_UNREADABLE);
  EXPECT_STREQ(detail, kChanged);
  EXPECT_FALSE(std::filesystem::exists(destination));
}

TEST_P(SourceFaultTest, ExportsKeepAnExistingDestination) {
  const std::string destination = dir_.File("existing.tga");
  WriteFileBytes(destination, kExisting);
  const std::wstring wide_source(source_.begin(), source_.end());
  const std::wstring wide_destination(destination.begin(), destination.end());
  EXPECT_EQ(BMP2TGA(wide_source.c_str(), wide_destination.c_str()), 999);
  EXPECT_EQ(ReadFileBytes(destination), kExisting);
}

INSTANTIATE_TEST_SUITE_P(Faults, SourceFaultTest,
                         ::testing::Values(Change::kVanish, Change::kShrink, Change::kRewrite),
                         [](const ::testing::TestParamInfo<Change>& info) {
                           switch (info.param) {
                             case Change::kVanish: return std::string("Vanishes");
                             case Change::kShrink: return std::string("Shrinks");
                             case Change::kRewrite: return std::string("IsRewrittenInPlace");
                           }
                           return std::string("Unknown");
                         });

TEST(SourceKindTest, OnlyRegularFilesAreConverted) {
  TempDir dir;
  const std::string fifo = dir.File("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  char detail[256];
  const std::string destination = dir.File("out.tga");
  // Opening a pipe for reading would wait for a writer: open it ourselves first.
  const int keep_open = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(keep_open, 0);
  EXPECT_EQ(TarveloConvert(fifo.c_str(), destination.c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail),
            TARVELO_STATUS_SOURCE_UNREADABLE);
  EXPECT_STREQ(detail, "source is not a regular file");
  close(keep_open);
  EXPECT_EQ(
      TarveloConvert(dir.path().c_str(), destination.c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail),
      TARVELO_STATUS_SOURCE_UNREADABLE);
  EXPECT_STREQ(detail, "Is a directory");
  EXPECT_FALSE(std::filesystem::exists(destination));
}

}  // namespace
}  // namespace tarvelo::test
