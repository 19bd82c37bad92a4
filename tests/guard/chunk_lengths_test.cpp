// PNG chunk lengths are checked against the source's size before the decoder sees
// them: a chunk that claims more bytes than the source holds is refused by the
// guard (the decoder would first grow a buffer to the claimed size), while bytes
// after IEND, which the decoder never reads, are not.
#include <gtest/gtest.h>

#include <string>

#include "byte_writers.h"
#include "decode/source_reader.h"
#include "guard/input_guard.h"
#include "source_builders.h"

namespace tarvelo::test {
namespace {

// The guard's verdict on `bytes`.
std::string Verdict(const Bytes& bytes) {
  SourceReader reader(bytes.data(), bytes.size());
  const char* defect = CheckSource(SourceFormat::kPng, reader);
  return defect != nullptr ? defect : "";
}

// A valid RGB PNG cut just before its IEND, with `chunk` (type and claimed length,
// `present` bytes of data) and then IEND.
Bytes WithChunk(const char* type, uint32_t claimed, size_t present) {
  Bytes png = EncodePng(MakeTestImage(5, 3, 3));
  png.resize(png.size() - 12);  // IEND
  Put32Be(png, claimed);
  png.insert(png.end(), type, type + 4);
  png.resize(png.size() + present, 0);
  return png;
}

TEST(PngChunkLengths, AChunkClaimingMoreThanTheSourceHoldsIsRefused) {
  // The 53 bytes of the hostile corpus: an image data chunk claiming 0x7ffffff0.
  Bytes tiny = PngHeaderOnly(1, 1, 3);
  tiny.resize(33);
  Put32Be(tiny, 0x7ffffff0U);
  Append(tiny, std::string("IDAT"));
  tiny.resize(53, 0);
  EXPECT_EQ(Verdict(tiny), "file ends early");
  // Every kind of chunk, one byte short (data or CRC), palette image or not.
  for (const char* type : {"IDAT", "tEXt", "PLTE", "zzzz"}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(Verdict(WithChunk(type, 100, 100 + 3)), "file ends early");
    EXPECT_EQ(Verdict(WithChunk(type, 0xFFFFFFFFU, 16)), "file ends early");
  }
  Bytes palette = EncodePalettePng(MakeTestImage(6, 4, 1), 4);
  palette.resize(palette.size() - 13);  // IEND and one byte of the image data's CRC
  EXPECT_EQ(Verdict(palette), "file ends early");
}

TEST(PngChunkLengths, ChunksThatFitAndBytesAfterTheEndAreLeftAlone) {
  const Bytes whole = EncodePng(MakeTestImage(5, 3, 3));
  EXPECT_EQ(Verdict(whole), "");
  // An ancillary chunk that fits exactly, then IEND.
  Bytes fits = WithChunk("tEXt", 4, 4 + 4);
  PutPngChunk(fits, "IEND", {});
  EXPECT_EQ(Verdict(fits), "");
  // After IEND the decoder reads nothing: a truncated chunk there is no defect, nor
  // is an IEND without its CRC.
  Bytes trailing = whole;
  Put32Be(trailing, 0x7ffffff0U);
  Append(trailing, std::string("IDAT"));
  EXPECT_EQ(Verdict(trailing), "");
  EXPECT_EQ(Verdict(Bytes(whole.begin(), whole.end() - 4)), "");
}

}  // namespace
}  // namespace tarvelo::test
