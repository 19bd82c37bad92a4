// Conversions through the public shared library, from sources in every format the
// decoder reads, made at test time by independent encoders.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "TarveloConvert.h"
#include "TarveloImageTGA.h"
#include "expected_layouts.h"
#include "file_bytes.h"
#include "hand_encoders.h"
#include "image_encoders.h"
#include "reference_decoder.h"
#include "temp_dir.h"
#include "test_images.h"
#include "wide_path.h"

namespace tarvelo::test {
namespace {

constexpr int kHeight = 5;

struct SourceKind {
  const char* name;
  int channels;   // of the picture handed to the encoder
  bool lossless;  // the decoder gives back exactly the picture
  bool (*write)(const std::string& path, const Image& image);
};

// Test names and failure messages show the kind by its name.
void PrintTo(const SourceKind& kind, std::ostream* out) { *out << kind.name; }

// PSD's reader undoes a white matte on partly transparent pixels; keep alpha 0 or
// 255 so that the source means what it says.
bool WritePsdWithBinaryAlpha(const std::string& path, const Image& image) {
  Image binary = image;
  for (size_t i = 3; i < binary.pixels.size(); i += 4) {
    binary.pixels[i] = binary.pixels[i] >= 128 ? 255 : 0;
  }
  return WritePsd(path, binary);
}

const SourceKind kSourceKinds[] = {
    {"PngGrey", 1, true, WritePng},
    {"PngGreyAlpha", 2, true, WritePng},
    {"PngRgb", 3, true, WritePng},
    {"PngRgba", 4, true, WritePng},
    {"PngPalette", 3, true, WritePalettePng},
    {"PngPaletteAlpha", 4, true, WritePalettePng},
    {"Png16Grey", 1, true, WritePng16},
    {"Png16GreyAlpha", 2, true, WritePng16},
    {"Png16Rgb", 3, true, WritePng16},
    {"Png16Rgba", 4, true, WritePng16},
    {"JpegSubsampled", 3, false, [](const std::string& p, const Image& i) { return WriteJpeg(p, i, 75); }},
    {"JpegFullChroma", 3, false, [](const std::string& p, const Image& i) { return WriteJpeg(p, i, 95); }},
    {"Bmp24", 3, true, WriteBmp},
    {"Bmp32", 4, true, WriteBmp},
    {"TgaGrey", 1, true, [](const std::string& p, const Image& i) { return WriteTga(p, i, false); }},
    {"TgaRgb", 3, true, [](const std::string& p, const Image& i) { return WriteTga(p, i, false); }},
    {"TgaRgba", 4, true, [](const std::string& p, const Image& i) { return WriteTga(p, i, false); }},
    {"TgaRleGrey", 1, true, [](const std::string& p, const Image& i) { return WriteTga(p, i, true); }},
    {"TgaRleRgb", 3, true, [](const std::string& p, const Image& i) { return WriteTga(p, i, true); }},
    {"TgaRleRgba", 4, true, [](const std::string& p, const Image& i) { return WriteTga(p, i, true); }},
    {"Gif", 3, false, WriteGif},  // decoded with an added opaque alpha
    {"Pgm", 1, true, WritePnm},
    {"Ppm", 3, true, WritePnm},
    {"PsdRgb", 3, false, WritePsd},  // decoded with an added opaque alpha
    {"PsdRgba", 4, false, WritePsdWithBinaryAlpha},
    {"Hdr", 3, false, WriteHdr},
};

class Conversions : public testing::TestWithParam<std::tuple<SourceKind, int>> {
 protected:
  TempDir dir_;
};

// Each source converts to exactly the files the layouts' tables give for the
// image the decoder reads from it; widths 1 to 7 give every BMP pad.
TEST_P(Conversions, WriteExactTgaAndBmp) {
  const auto& [kind, width] = GetParam();
  const Image picture = MakeTestImage(width, kHeight, kind.channels);
  const std::string source = dir_.File("source");
  ASSERT_TRUE(kind.write(source, picture));
  Image decoded;
  ASSERT_TRUE(DecodeReference(source, decoded));
  if (kind.lossless) {
    ASSERT_EQ(picture.channels, decoded.channels);
    ASSERT_EQ(picture.pixels, decoded.pixels) << "the source does not hold the picture";
  }

  EXPECT_EQ(999, BMP2TGA(WidePath(source).c_str(), WidePath(dir_.File("out.tga")).c_str()));
  EXPECT_EQ(999, TGA2BMP(WidePath(source).c_str(), WidePath(dir_.File("out.bmp")).c_str()));
  EXPECT_EQ(ExpectedTgaFile(decoded), ReadFileBytes(dir_.File("out.tga")));
  EXPECT_EQ(ExpectedBmpFile(decoded), ReadFileBytes(dir_.File("out.bmp")));

  char detail[64] = "untouched";
  EXPECT_EQ(TARVELO_STATUS_CONVERTED, TarveloConvert(source.c_str(), dir_.File("status.bmp").c_str(),
                                                     TARVELO_LAYOUT_BMP, detail, sizeof detail));
  EXPECT_STREQ("", detail);
  EXPECT_EQ(ExpectedBmpFile(decoded), ReadFileBytes(dir_.File("status.bmp")));
  EXPECT_EQ((std::vector<std::string>{"out.bmp", "out.tga", "source", "status.bmp"}),
            ListDirectory(dir_.path().string()));
}

INSTANTIATE_TEST_SUITE_P(Sources, Conversions,
                         testing::Combine(testing::ValuesIn(kSourceKinds), testing::Range(1, 8)),
                         [](const testing::TestParamInfo<Conversions::ParamType>& info) {
                           return std::string(std::get<0>(info.param).name) + "Width" +
                                  std::to_string(std::get<1>(info.param));
                         });

// One picture stored as PNG, BMP and TGA (plain and RLE) converts to the same files.
TEST(SamePicture, GivesTheSameFilesWhateverTheSourceFormat) {
  for (const int channels : {3, 4}) {
    SCOPED_TRACE("channels " + std::to_string(channels));
    const TempDir dir;
    const Image picture = MakeTestImage(7, 6, channels);
    const std::vector<std::string> sources = {"a.png", "a.bmp", "a.tga", "a-rle.tga"};
    ASSERT_TRUE(WritePng(dir.File(sources[0]), picture));
    ASSERT_TRUE(WriteBmp(dir.File(sources[1]), picture));
    ASSERT_TRUE(WriteTga(dir.File(sources[2]), picture, false));
    ASSERT_TRUE(WriteTga(dir.File(sources[3]), picture, true));
    for (const std::string& source : sources) {
      SCOPED_TRACE(source);
      EXPECT_EQ(999, BMP2TGA(WidePath(dir.File(source)).c_str(), WidePath(dir.File("out.tga")).c_str()));
      EXPECT_EQ(999, TGA2BMP(WidePath(dir.File(source)).c_str(), WidePath(dir.File("out.bmp")).c_str()));
      EXPECT_EQ(ExpectedTgaFile(picture), ReadFileBytes(dir.File("out.tga")));
      EXPECT_EQ(ExpectedBmpFile(picture), ReadFileBytes(dir.File("out.bmp")));
    }
  }
}

// The export's name does not choose the reader: a TGA source through BMP2TGA and
// a BMP source through TGA2BMP convert like any other.
TEST(SamePicture, ExportNamesDoNotRestrictTheSource) {
  const TempDir dir;
  const Image picture = MakeTestImage(5, 4, 4);
  ASSERT_TRUE(WriteTga(dir.File("in.tga"), picture, false));
  ASSERT_TRUE(WriteBmp(dir.File("in.bmp"), picture));
  EXPECT_EQ(999, BMP2TGA(WidePath(dir.File("in.tga")).c_str(), WidePath(dir.File("out.tga")).c_str()));
  EXPECT_EQ(999, TGA2BMP(WidePath(dir.File("in.bmp")).c_str(), WidePath(dir.File("out.bmp")).c_str()));
  EXPECT_EQ(ExpectedTgaFile(picture), ReadFileBytes(dir.File("out.tga")));
  EXPECT_EQ(ExpectedBmpFile(picture), ReadFileBytes(dir.File("out.bmp")));
}

}  // namespace
}  // namespace tarvelo::test
