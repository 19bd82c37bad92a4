// The one PNG chunk walker and the scans built on it, over chunk lists made by hand
// (the chunks' contents and CRCs do not matter to them).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "decode/source_reader.h"
#include "guard/input_guard.h"

namespace tarvelo::guard {
namespace {

using Bytes = std::vector<uint8_t>;

// A signature followed by the chunks, each given as its type and data length; a
// negative length declares that many bytes but writes none (the file ends there).
Bytes Png(const std::vector<std::pair<std::string, int>>& chunks) {
  Bytes bytes = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  for (const auto& [type, length] : chunks) {
    const auto declared = static_cast<uint32_t>(length < 0 ? -length : length);
    for (const unsigned shift : {24U, 16U, 8U, 0U}) {
      bytes.push_back(static_cast<uint8_t>(declared >> shift));
    }
    bytes.insert(bytes.end(), type.begin(), type.end());
    if (length >= 0) {
      bytes.insert(bytes.end(), static_cast<size_t>(length) + 4, 0x5A);  // data and CRC
    }
  }
  return bytes;
}

TEST(PngChunks, VisitsEveryChunkWhateverTheCallerReads) {
  const Bytes png = Png({{"IHDR", 13}, {"tEXt", 5}, {"IDAT", 0}, {"IEND", 0}});
  SourceReader reader(png.data(), png.size());
  PngChunk chunk;
  std::vector<std::pair<uint32_t, uint32_t>> seen;
  while (NextPngChunk(reader, chunk)) {
    EXPECT_TRUE(reader.Has(uint64_t{chunk.length} + 4));  // the data and CRC
    seen.emplace_back(chunk.type, chunk.length);
    if (chunk.type == PngChunkType("tEXt")) {
      static_cast<void>(reader.Get16Be());  // part of the data only
    }
  }
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {{PngChunkType("IHDR"), 13},
                                                               {PngChunkType("tEXt"), 5},
                                                               {PngChunkType("IDAT"), 0},
                                                               {PngChunkType("IEND"), 0}};
  EXPECT_EQ(expected, seen);
}

TEST(PngChunks, ChunkRunningPastTheEndIsNotWhole) {
  const Bytes png = Png({{"IHDR", 13}, {"IDAT", -100}});
  SourceReader reader(png.data(), png.size());
  PngChunk chunk;
  ASSERT_TRUE(NextPngChunk(reader, chunk));
  EXPECT_TRUE(reader.Has(uint64_t{chunk.length} + 4));
  ASSERT_TRUE(NextPngChunk(reader, chunk));
  EXPECT_EQ(PngChunkType("IDAT"), chunk.type);
  EXPECT_FALSE(reader.Has(uint64_t{chunk.length} + 4));
  EXPECT_FALSE(NextPngChunk(reader, chunk));
}

TEST(PngScans, TransparencyCountsOnlyBeforeTheImageData) {
  const auto transparent = [](const Bytes& png) {
    SourceReader reader(png.data(), png.size());
    return PngHasTransparency(reader);
  };
  EXPECT_TRUE(transparent(Png({{"IHDR", 13}, {"tRNS", 6}, {"IDAT", 10}, {"IEND", 0}})));
  EXPECT_FALSE(transparent(Png({{"IHDR", 13}, {"IDAT", 10}, {"tRNS", 6}, {"IEND", 0}})));
  EXPECT_FALSE(transparent(Png({{"IHDR", 13}, {"IEND", 0}})));
}

}  // namespace
}  // namespace tarvelo::guard
