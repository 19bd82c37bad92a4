// The guard's reader over the source in memory: it reads as the decoder does (zeros
// past the end) while always knowing where the real end is.
#include "decode/source_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace tarvelo {
namespace {

TEST(SourceReader, ReadsLikeTheDecoderAndKnowsTheRealEnd) {
  const std::vector<uint8_t> bytes = {0x12, 0x34, 0x56, 0x78, 0x9A};
  SourceReader whole(bytes.data(), bytes.size());
  EXPECT_EQ(whole.Get32Be(), 0x12345678U);
  SourceReader reader(bytes.data(), bytes.size());
  EXPECT_EQ(reader.Get16Be(), 0x1234U);
  EXPECT_EQ(reader.Get16Le(), 0x7856U);
  EXPECT_TRUE(reader.Has(1));
  EXPECT_FALSE(reader.Has(2));
  // Taking more than is there refuses and stays, so the next read is still the byte.
  EXPECT_FALSE(reader.Take(2));
  EXPECT_EQ(reader.position(), 4U);
  EXPECT_TRUE(reader.Take(0));
  EXPECT_EQ(reader.Get32Le(), 0x9AU);  // past the end: zeros
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_EQ(reader.position(), 8U);
  EXPECT_FALSE(reader.Has(0));
  EXPECT_FALSE(reader.Take(0));  // nothing is inside once past the end
  // A skip as far as a hostile length asks for stays past the end and reads zeros.
  reader.Skip(UINT64_MAX);
  EXPECT_EQ(reader.Get8(), 0);
  EXPECT_FALSE(reader.Has(0));
}

TEST(SourceReader, SearchesForAByteAndStopsAtTheEnd) {
  std::vector<uint8_t> bytes(100, 0);
  bytes[40] = 0xFF;
  bytes[41] = 0xFF;
  bytes.back() = 0x42;
  SourceReader reader(bytes.data(), bytes.size());
  ASSERT_TRUE(reader.SkipPast(0xFF));
  EXPECT_EQ(reader.position(), 41U);
  ASSERT_TRUE(reader.SkipPast(0xFF));
  EXPECT_EQ(reader.position(), 42U);
  EXPECT_FALSE(reader.SkipPast(0xFF));
  EXPECT_EQ(reader.position(), bytes.size());
  EXPECT_FALSE(reader.SkipPast(0x42));  // already at the end
  const SourceReader none(nullptr, 10);
  EXPECT_EQ(0U, none.size());
}

}  // namespace
}  // namespace tarvelo
