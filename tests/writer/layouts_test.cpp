// The TGA and BMP layouts: literal headers, pads, channel handling, and the images
// whose sizes the headers cannot hold.
#include "writer/layouts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "expected_layouts.h"
#include "file_bytes.h"
#include "image_view.h"
#include "layout_files.h"
#include "temp_dir.h"
#include "test_images.h"

namespace tarvelo {
namespace {

using test::Bytes;
using test::FromHex;
using test::Image;
using test::ReadLe16;
using test::ReadLe32;
using test::View;
using test::WriteBmpFile;
using test::WriteTgaFile;

class Layouts : public testing::Test {
 protected:
  Bytes Tga(const Image& image) {
    const std::string path = dir_.File("out.tga");
    EXPECT_EQ(1, WriteTgaFile(path.c_str(), View(image)));
    return test::ReadFileBytes(path);
  }

  Bytes Bmp(const Image& image) {
    const std::string path = dir_.File("out.bmp");
    EXPECT_EQ(1, WriteBmpFile(path.c_str(), View(image)));
    return test::ReadFileBytes(path);
  }

  test::TempDir dir_;
};

TEST_F(Layouts, TgaHeaderOfWideRgbaImage) {
  const Bytes tga = Tga(test::MakeTestImage(300, 2, 4));
  ASSERT_EQ(size_t{18 + 300 * 2 * 4}, tga.size());
  EXPECT_EQ(FromHex("00 00 02 00 00 00 00 00 00 00 00 00 2C 01 02 00 20 08"),
            Bytes(tga.begin(), tga.begin() + 18));
}

TEST_F(Layouts, BmpHeaderAndRowsOfThreeByTwoRgb) {
  const Image image{3, 2, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}};
  Bytes expected =
      FromHex("42 4D 4E 00 00 00 00 00 00 00 36 00 00 00 28 00 00 00 03 00 00 00 02 00 00 00 01 00 18 00");
  expected.insert(expected.end(), 24, 0);
  const Bytes rows = FromHex("0C 0B 0A 0F 0E 0D 12 11 10 00 00 00  03 02 01 06 05 04 09 08 07 00 00 00");
  expected.insert(expected.end(), rows.begin(), rows.end());
  ASSERT_EQ(size_t{78}, expected.size());
  EXPECT_EQ(expected, Bmp(image));
}

TEST_F(Layouts, OnePixelRgb) {
  const Image image{1, 1, 3, {1, 2, 3}};
  const Bytes tga = Tga(image);
  ASSERT_EQ(size_t{21}, tga.size());
  EXPECT_EQ(FromHex("03 02 01"), Bytes(tga.end() - 3, tga.end()));
  EXPECT_EQ(24, tga[16]);
  EXPECT_EQ(0, tga[17]);

  const Bytes bmp = Bmp(image);
  ASSERT_EQ(size_t{58}, bmp.size());
  EXPECT_EQ(58U, ReadLe32(bmp, 2));
  EXPECT_EQ(FromHex("03 02 01 00"), Bytes(bmp.begin() + 54, bmp.end()));
}

TEST_F(Layouts, TwoByOneRgbaKeepsAlphaInTga) {
  const Bytes tga = Tga(Image{2, 1, 4, {1, 2, 3, 4, 5, 6, 7, 8}});
  ASSERT_EQ(size_t{26}, tga.size());
  EXPECT_EQ(32, tga[16]);
  EXPECT_EQ(8, tga[17]);
  EXPECT_EQ(FromHex("03 02 01 04 07 06 05 08"), Bytes(tga.begin() + 18, tga.end()));
}

TEST_F(Layouts, BmpRowsArePaddedToFourBytes) {
  for (int width = 4; width <= 7; ++width) {
    SCOPED_TRACE("width " + std::to_string(width));
    const int pad = width - 4;  // 4, 5, 6 and 7 pixels wide need 0, 1, 2 and 3 bytes
    const Bytes bmp = Bmp(test::MakeTestImage(width, 3, 3));
    const size_t stride = 3 * static_cast<size_t>(width) + static_cast<size_t>(pad);
    ASSERT_EQ(54 + stride * 3, bmp.size());
    EXPECT_EQ(bmp.size(), ReadLe32(bmp, 2));
    for (size_t row = 0; row < 3; ++row) {
      const auto row_end = bmp.begin() + static_cast<std::ptrdiff_t>(54 + (row + 1) * stride);
      EXPECT_EQ(Bytes(static_cast<size_t>(pad), 0), Bytes(row_end - pad, row_end)) << "row " << row;
    }
  }
}

TEST_F(Layouts, GreyIsTrueColourInTga) {
  const Bytes tga = Tga(Image{2, 1, 1, {77, 200}});
  EXPECT_EQ(FromHex("00 00 02 00 00 00 00 00 00 00 00 00 02 00 01 00 18 00  4D 4D 4D C8 C8 C8"), tga);
}

TEST_F(Layouts, GreyAlphaKeepsAlphaInTgaButNotInBmp) {
  const Image grey_alpha{2, 1, 2, {77, 0, 200, 128}};
  const Bytes tga = Tga(grey_alpha);
  EXPECT_EQ(32, tga[16]);
  EXPECT_EQ(8, tga[17]);
  EXPECT_EQ(FromHex("4D 4D 4D 00 C8 C8 C8 80"), Bytes(tga.begin() + 18, tga.end()));
  // The alpha plays no part in the BMP: not even flattening.
  EXPECT_EQ(Bmp(Image{2, 1, 1, {77, 200}}), Bmp(grey_alpha));
}

TEST_F(Layouts, BmpFlattensRgbaAgainstMagenta) {
  const Bytes bmp = Bmp(Image{2, 1, 4, {10, 20, 30, 0, 10, 200, 30, 100}});
  EXPECT_EQ(24, bmp[28]);
  EXPECT_EQ(FromHex("FF 00 FF  A7 4E 9F  00 00"), Bytes(bmp.begin() + 54, bmp.end()));
}

class LayoutTables : public testing::TestWithParam<std::tuple<int, int>> {};

// Whole files, every channel count and widths through every BMP pad, against the
// files built from the byte tables.
TEST_P(LayoutTables, FilesMatchTheTables) {
  const auto [channels, width] = GetParam();
  const Image image = test::MakeTestImage(width, 5, channels);
  const test::TempDir dir;
  const std::string tga = dir.File("out.tga");
  const std::string bmp = dir.File("out.bmp");
  ASSERT_EQ(1, WriteTgaFile(tga.c_str(), View(image)));
  ASSERT_EQ(1, WriteBmpFile(bmp.c_str(), View(image)));
  EXPECT_EQ(test::ExpectedTgaFile(image), test::ReadFileBytes(tga));
  EXPECT_EQ(test::ExpectedBmpFile(image), test::ReadFileBytes(bmp));
}

INSTANTIATE_TEST_SUITE_P(ChannelsAndWidths, LayoutTables,
                         testing::Combine(testing::Range(1, 5), testing::Range(1, 10)));

// Sizes the headers cannot hold are refused before anything is opened; the pixel
// pointer is never read, so one byte stands in for the huge buffers.
class OversizeImages : public testing::Test {
 protected:
  DecodedImage Fake(int32_t width, int32_t height, int32_t channels) const {
    return {.width = width, .height = height, .channels = channels, .pixels = &stand_in_};
  }

  // Writes into a missing directory: kOpenFailed shows that the size was accepted,
  // without writing gigabytes.
  std::string Unopenable() const { return dir_.File("missing/out"); }

  test::TempDir dir_;
  uint8_t stand_in_ = 0;
};

TEST_F(OversizeImages, TgaRefusesSidesOver65535) {
  const std::string path = dir_.File("big.tga");
  for (const auto& [width, height] :
       std::vector<std::pair<int32_t, int32_t>>{{65536, 1}, {1, 65536}, {INT32_MAX, 2}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    WriteFailure failure;
    EXPECT_EQ(0, WriteTgaFile(path.c_str(), Fake(width, height, 3), &failure));
    EXPECT_EQ(WriteFailureKind::kTooLarge, failure.kind);
  }
  EXPECT_TRUE(test::ListDirectory(dir_.path().string()).empty());

  WriteFailure failure;
  EXPECT_EQ(0, WriteTgaFile(Unopenable().c_str(), Fake(65535, 65535, 4), &failure));
  EXPECT_EQ(WriteFailureKind::kOpenFailed, failure.kind);
}

TEST_F(OversizeImages, TgaWritesSidesOf65535) {
  const Image row{65535, 1, 1, std::vector<uint8_t>(65535, 9)};
  const std::string path = dir_.File("wide.tga");
  ASSERT_EQ(1, WriteTgaFile(path.c_str(), View(row)));
  const Bytes tga = test::ReadFileBytes(path);
  EXPECT_EQ(65535U, ReadLe16(tga, 12));
  EXPECT_EQ(test::ExpectedTgaFile(row), tga);
}

TEST_F(OversizeImages, BmpRefusesFileSizesOver32Bits) {
  const std::string path = dir_.File("big.bmp");
  // 54 + 12 * 357913937 is just over 2^32 - 1; 3 * 1431655766 wraps to 2 in 32 bits.
  for (const auto& [width, height] :
       std::vector<std::pair<int32_t, int32_t>>{{4, 357913937}, {1431655766, 1}, {INT32_MAX, INT32_MAX}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    WriteFailure failure;
    EXPECT_EQ(0, WriteBmpFile(path.c_str(), Fake(width, height, 3), &failure));
    EXPECT_EQ(WriteFailureKind::kTooLarge, failure.kind);
  }
  EXPECT_TRUE(test::ListDirectory(dir_.path().string()).empty());

  WriteFailure failure;  // 54 + 12 * 357913936 = 2^32 - 10 still fits
  EXPECT_EQ(0, WriteBmpFile(Unopenable().c_str(), Fake(4, 357913936, 3), &failure));
  EXPECT_EQ(WriteFailureKind::kOpenFailed, failure.kind);
}

TEST_F(OversizeImages, BmpWritesWidthsOver65535Exactly) {
  for (const int width : {70000, 70001}) {
    SCOPED_TRACE("width " + std::to_string(width));
    const Image row = test::MakeTestImage(width, 1, 3);
    const std::string path = dir_.File("wide.bmp");
    ASSERT_EQ(1, WriteBmpFile(path.c_str(), View(row)));
    const Bytes bmp = test::ReadFileBytes(path);
    EXPECT_EQ(static_cast<uint32_t>(width), ReadLe32(bmp, 18));
    EXPECT_EQ(test::ExpectedBmpFile(row), bmp);
  }
}

}  // namespace
}  // namespace tarvelo
