// The guard's reader over the open source: it reads as the decoder does (zeros past
// the end) while always knowing where the real end is, across block boundaries.
#include "decode/source_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "file_bytes.h"
#include "temp_dir.h"

namespace tarvelo::test {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { static_cast<void>(std::fclose(file)); }
};

class SourceReaderTest : public ::testing::Test {
 protected:
  std::unique_ptr<std::FILE, FileCloser> Open(const Bytes& bytes) {
    const std::string path = dir_.File("source");
    WriteFileBytes(path, bytes);
    return std::unique_ptr<std::FILE, FileCloser>(std::fopen(path.c_str(), "rb"));
  }
  TempDir dir_;
};

TEST_F(SourceReaderTest, ReadsLikeTheDecoderAndKnowsTheRealEnd) {
  const auto file = Open({0x12, 0x34, 0x56, 0x78, 0x9A});
  SourceReader reader(file.get(), 5);
  EXPECT_EQ(reader.Get16Be(), 0x1234U);
  EXPECT_EQ(reader.Get16Le(), 0x7856U);
  EXPECT_TRUE(reader.Has(1));
  EXPECT_FALSE(reader.Has(2));
  EXPECT_EQ(reader.Get32Le(), 0x9AU);  // past the end: zeros
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_EQ(reader.position(), 8U);
  EXPECT_FALSE(reader.Has(0));
  EXPECT_FALSE(reader.short_read());
}

TEST_F(SourceReaderTest, SkipsAndSearchesAcrossBlocks) {
  Bytes bytes(3 * SourceReader::kBlockSize + 17, 0);
  bytes[SourceReader::kBlockSize - 1] = 0xFF;
  bytes[2 * SourceReader::kBlockSize + 5] = 0xFF;
  bytes.back() = 0x42;
  const auto file = Open(bytes);
  SourceReader reader(file.get(), bytes.size());
  ASSERT_TRUE(reader.SkipPast(0xFF));
  EXPECT_EQ(reader.position(), SourceReader::kBlockSize);
  ASSERT_TRUE(reader.SkipPast(0xFF));
  EXPECT_EQ(reader.position(), 2 * SourceReader::kBlockSize + 6);
  reader.Skip(bytes.size() - reader.position() - 1);
  EXPECT_EQ(reader.Get8(), 0x42);
  EXPECT_FALSE(reader.SkipPast(0xFF));
  EXPECT_EQ(reader.position(), bytes.size());
}

TEST_F(SourceReaderTest, AFileShorterThanPromisedIsReportedAsChanged) {
  const auto file = Open({1, 2, 3});
  SourceReader reader(file.get(), 10);
  reader.Skip(2);
  EXPECT_EQ(reader.Get8(), 3);
  EXPECT_EQ(reader.Get8(), 0);
  EXPECT_TRUE(reader.short_read());
}

}  // namespace
}  // namespace tarvelo::test
