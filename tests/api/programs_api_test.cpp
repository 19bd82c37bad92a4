// The programs' entry points through the public shared library: raw pixels, bytes
// in memory, write callbacks, buffers, image info, options and layout names. Every
// output is compared byte for byte with the layouts' tables (expected_layouts).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "TarveloConvert.h"
#include "expected_layouts.h"
#include "file_bytes.h"
#include "image_encoders.h"
#include "temp_dir.h"
#include "test_images.h"

namespace tarvelo::test {
namespace {

constexpr TarveloLayout kLayouts[] = {TARVELO_LAYOUT_TGA, TARVELO_LAYOUT_BMP};

Bytes Expected(const Image& image, TarveloLayout layout) {
  return layout == TARVELO_LAYOUT_TGA ? ExpectedTgaFile(image) : ExpectedBmpFile(image);
}

// A write callback that collects everything, and can be told to refuse the call
// that would take the output past `refuse_from` bytes.
struct Collector {
  Bytes bytes;
  size_t refuse_from = SIZE_MAX;
  int calls_after_refusal = 0;
  bool refused = false;

  static int Write(void* context, const void* data, size_t size) {
    auto* self = static_cast<Collector*>(context);
    if (self->refused) {
      ++self->calls_after_refusal;
      return 0;
    }
    if (size == 0 || self->bytes.size() + size > self->refuse_from) {
      self->refused = true;
      return 0;
    }
    const auto* begin = static_cast<const uint8_t*>(data);
    self->bytes.insert(self->bytes.end(), begin, begin + size);
    return 1;
  }
};

// The buffer of a *ToBuffer call, copied and released.
Bytes TakeBuffer(void* buffer, size_t size) {
  Bytes bytes(static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + size);
  TarveloFree(buffer);
  return bytes;
}

TarveloOptions Options(bool allow_threads) {
  TarveloOptions options;
  TarveloInitOptions(&options);
  options.allow_threads = allow_threads ? 1 : 0;
  return options;
}

// The same pixels with `extra` bytes of junk after every row.
Bytes WithStride(const Image& image, size_t extra) {
  const size_t row = static_cast<size_t>(image.width) * image.channels;
  Bytes strided;
  for (int y = 0; y < image.height; ++y) {
    strided.insert(strided.end(), image.pixels.begin() + static_cast<std::ptrdiff_t>(y * row),
                   image.pixels.begin() + static_cast<std::ptrdiff_t>((y + 1) * row));
    for (size_t i = 0; i < extra; ++i) {
      strided.push_back(static_cast<uint8_t>(0xA5 ^ i));
    }
  }
  return strided;
}

// Every channel count and both layouts, through the file, the callback and the
// buffer, packed and with a row stride: each is exactly the layout's table.
TEST(WritePixels, EveryChannelCountAndLayoutIsByteExactEverywhere) {
  const TempDir dir;
  for (int channels = 1; channels <= 4; ++channels) {
    for (const int width : {1, 2, 3, 4, 5, 7}) {
      const Image image = MakeTestImage(width, 6, channels);
      const size_t row = static_cast<size_t>(width) * channels;
      for (const TarveloLayout layout : kLayouts) {
        SCOPED_TRACE(testing::Message() << channels << " channels, width " << width << ", layout " << layout);
        const Bytes expected = Expected(image, layout);
        for (const size_t extra : {size_t{0}, size_t{3}}) {
          const Bytes pixels = extra == 0 ? image.pixels : WithStride(image, extra);
          const size_t stride = extra == 0 ? 0 : row + extra;
          const std::string path = dir.File("out-" + std::to_string(extra));
          char detail[128] = "untouched";
          ASSERT_EQ(TARVELO_STATUS_CONVERTED,
                    TarveloWritePixels(pixels.data(), width, 6, channels, stride, path.c_str(), layout,
                                       nullptr, detail, sizeof detail))
              << detail;
          EXPECT_STREQ("", detail);
          EXPECT_EQ(expected, ReadFileBytes(path));

          Collector collector;
          ASSERT_EQ(TARVELO_STATUS_CONVERTED,
                    TarveloWritePixelsToFunc(pixels.data(), width, 6, channels, stride, layout,
                                             Collector::Write, &collector, nullptr, nullptr, 0));
          EXPECT_EQ(expected, collector.bytes);

          void* buffer = nullptr;
          size_t size = 0;
          ASSERT_EQ(TARVELO_STATUS_CONVERTED,
                    TarveloWritePixelsToBuffer(pixels.data(), width, 6, channels, stride, layout, &buffer,
                                               &size, nullptr, nullptr, 0));
          EXPECT_EQ(expected, TakeBuffer(buffer, size));
        }
      }
    }
  }
}

TEST(WritePixels, BadArgumentsAreRefusedBeforeAnythingIsWritten) {
  const TempDir dir;
  const Image image = MakeTestImage(4, 3, 3);
  const std::string path = dir.File("never.tga");
  struct Case {
    const void* pixels;
    int width, height, channels;
    size_t stride;
    int layout;
  };
  const Case cases[] = {
      {nullptr, 4, 3, 3, 0, TARVELO_LAYOUT_TGA},
      {image.pixels.data(), 0, 3, 3, 0, TARVELO_LAYOUT_TGA},
      {image.pixels.data(), 4, -1, 3, 0, TARVELO_LAYOUT_TGA},
      {image.pixels.data(), 4, 3, 0, 0, TARVELO_LAYOUT_TGA},
      {image.pixels.data(), 4, 3, 5, 0, TARVELO_LAYOUT_TGA},
      {image.pixels.data(), 4, 3, 3, 11, TARVELO_LAYOUT_BMP},  // shorter than a row of 12 bytes
      {image.pixels.data(), 4, 3, 3, 0, 7},
  };
  for (const Case& bad : cases) {
    Collector collector;
    char detail[128] = "";
    EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT,
              TarveloWritePixels(bad.pixels, bad.width, bad.height, bad.channels, bad.stride, path.c_str(),
                                 static_cast<TarveloLayout>(bad.layout), nullptr, detail, sizeof detail));
    EXPECT_NE("", std::string(detail));
    EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT,
              TarveloWritePixelsToFunc(bad.pixels, bad.width, bad.height, bad.channels, bad.stride,
                                       static_cast<TarveloLayout>(bad.layout), Collector::Write, &collector,
                                       nullptr, nullptr, 0));
    void* buffer = &collector;  // must be cleared
    size_t size = 99;
    EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT,
              TarveloWritePixelsToBuffer(bad.pixels, bad.width, bad.height, bad.channels, bad.stride,
                                         static_cast<TarveloLayout>(bad.layout), &buffer, &size, nullptr,
                                         nullptr, 0));
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(0U, size);
    EXPECT_TRUE(collector.bytes.empty());
  }
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT, TarveloWritePixels(image.pixels.data(), 4, 3, 3, 0, nullptr,
                                                                TARVELO_LAYOUT_TGA, nullptr, nullptr, 0));
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT,
            TarveloWritePixelsToFunc(image.pixels.data(), 4, 3, 3, 0, TARVELO_LAYOUT_TGA, nullptr, nullptr,
                                     nullptr, nullptr, 0));
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT,
            TarveloWritePixelsToBuffer(image.pixels.data(), 4, 3, 3, 0, TARVELO_LAYOUT_TGA, nullptr, nullptr,
                                       nullptr, nullptr, 0));
}

// Too large for the layout: refused before the callback sees a byte. The pixels are
// never read, so one row stands for a tall image.
TEST(WritePixels, ImagesTooLargeForTheLayoutReachNoOutput) {
  const std::vector<uint8_t> row(size_t{65536} * 3);
  Collector collector;
  char detail[128] = "";
  EXPECT_EQ(TARVELO_STATUS_IMAGE_TOO_LARGE,
            TarveloWritePixelsToFunc(row.data(), 65536, 1, 3, 0, TARVELO_LAYOUT_TGA, Collector::Write,
                                     &collector, nullptr, detail, sizeof detail));
  EXPECT_STREQ("TGA stores at most 65535 pixels per side", detail);
  EXPECT_EQ(0U, collector.bytes.size() + static_cast<size_t>(collector.refused));
  void* buffer = nullptr;
  size_t size = 0;
  EXPECT_EQ(TARVELO_STATUS_IMAGE_TOO_LARGE,
            TarveloWritePixelsToBuffer(row.data(), 65536, 1, 3, 0, TARVELO_LAYOUT_TGA, &buffer, &size,
                                       nullptr, nullptr, 0));
  EXPECT_EQ(nullptr, buffer);
}

// A callback that refuses at any offset stops the write there: WRITE_FAILED, no
// further call, and everything before it was the file's true beginning. The output
// is larger than the sink's block so that the refusal can fall on any block.
TEST(WriteCallback, RefusalAtEveryOffsetStopsTheWrite) {
  const Image image = MakeTestImage(300, 250, 4);
  for (const TarveloLayout layout : kLayouts) {
    const Bytes expected = Expected(image, layout);
    // The boundaries of the blocks the callback receives are where a refusal can fall.
    Collector whole;
    ASSERT_EQ(TARVELO_STATUS_CONVERTED,
              TarveloWritePixelsToFunc(image.pixels.data(), image.width, image.height, 4, 0, layout,
                                       Collector::Write, &whole, nullptr, nullptr, 0));
    ASSERT_EQ(expected, whole.bytes);
    for (size_t refuse_from = 0; refuse_from < expected.size(); refuse_from += 997) {
      Collector collector;
      collector.refuse_from = refuse_from;
      char detail[128] = "";
      ASSERT_EQ(TARVELO_STATUS_WRITE_FAILED,
                TarveloWritePixelsToFunc(image.pixels.data(), image.width, image.height, 4, 0, layout,
                                         Collector::Write, &collector, nullptr, detail, sizeof detail))
          << refuse_from;
      EXPECT_STREQ("the write callback reported a failure", detail);
      EXPECT_EQ(0, collector.calls_after_refusal) << refuse_from;
      EXPECT_LE(collector.bytes.size(), refuse_from);
      EXPECT_TRUE(std::equal(collector.bytes.begin(), collector.bytes.end(), expected.begin()));
    }
  }
}

// A small image arrives in one call: refusing it is refusing the first byte.
TEST(WriteCallback, RefusingTheOnlyBlockFails) {
  const Image image = MakeTestImage(3, 2, 3);
  Collector collector;
  collector.refuse_from = 0;
  EXPECT_EQ(TARVELO_STATUS_WRITE_FAILED,
            TarveloWritePixelsToFunc(image.pixels.data(), 3, 2, 3, 0, TARVELO_LAYOUT_BMP, Collector::Write,
                                     &collector, nullptr, nullptr, 0));
  EXPECT_TRUE(collector.bytes.empty());
  EXPECT_EQ(0, collector.calls_after_refusal);
}

class MemorySources : public testing::Test {
 protected:
  void SetUp() override {
    const Image picture = MakeTestImage(9, 7, 4);
    const Image grey = MakeTestImage(5, 4, 1);
    const Image rgb = MakeTestImage(6, 5, 3);
    ASSERT_TRUE(WritePng(dir_.File("a.png"), picture));
    ASSERT_TRUE(WriteBmp(dir_.File("a.bmp"), grey));
    ASSERT_TRUE(WriteTga(dir_.File("a.tga"), rgb, true));
    ASSERT_TRUE(WriteJpeg(dir_.File("a.jpg"), rgb, 90));
  }

  TempDir dir_;
  const std::vector<std::string> names_ = {"a.png", "a.bmp", "a.tga", "a.jpg"};
};

// Bytes in memory convert exactly as the same bytes in a file do, to every target.
TEST_F(MemorySources, ConvertAsTheSameFileDoes) {
  for (const std::string& name : names_) {
    const Bytes source = ReadFileBytes(dir_.File(name));
    for (const TarveloLayout layout : kLayouts) {
      SCOPED_TRACE(name + " layout " + std::to_string(layout));
      const std::string from_file = dir_.File("from-file.out");
      const std::string from_memory = dir_.File("from-memory.out");
      ASSERT_EQ(TARVELO_STATUS_CONVERTED,
                TarveloConvert(dir_.File(name).c_str(), from_file.c_str(), layout, nullptr, 0));
      const Bytes expected = ReadFileBytes(from_file);
      ASSERT_EQ(TARVELO_STATUS_CONVERTED,
                TarveloConvertMemory(source.data(), source.size(), from_memory.c_str(), layout, nullptr,
                                     nullptr, 0));
      EXPECT_EQ(expected, ReadFileBytes(from_memory));
      Collector collector;
      ASSERT_EQ(TARVELO_STATUS_CONVERTED,
                TarveloConvertMemoryToFunc(source.data(), source.size(), layout, Collector::Write, &collector,
                                           nullptr, nullptr, 0));
      EXPECT_EQ(expected, collector.bytes);
      Collector from_path;
      ASSERT_EQ(TARVELO_STATUS_CONVERTED,
                TarveloConvertToFunc(dir_.File(name).c_str(), layout, Collector::Write, &from_path, nullptr,
                                     nullptr, 0));
      EXPECT_EQ(expected, from_path.bytes);
      void* buffer = nullptr;
      size_t size = 0;
      ASSERT_EQ(TARVELO_STATUS_CONVERTED, TarveloConvertMemoryToBuffer(source.data(), source.size(), layout,
                                                                       &buffer, &size, nullptr, nullptr, 0));
      EXPECT_EQ(expected, TakeBuffer(buffer, size));
    }
  }
}

// Every prefix of a few small files: no crash, and either a refusal that says
// SOURCE_UNREADABLE with a reason, or a complete file of the layout (formats that
// lose only their last bytes may still decode).
TEST_F(MemorySources, EveryTruncationIsRefusedOrConvertedWhole) {
  for (const std::string& name : names_) {
    const Bytes source = ReadFileBytes(dir_.File(name));
    for (size_t length = 0; length < source.size(); ++length) {
      const Bytes cut(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(length));
      void* buffer = nullptr;
      size_t size = 0;
      char detail[160] = "";
      // An empty vector's data() may be null: keep a valid pointer for length 0.
      const uint8_t* data = length == 0 ? source.data() : cut.data();
      const TarveloStatus status = TarveloConvertMemoryToBuffer(data, length, TARVELO_LAYOUT_TGA, &buffer,
                                                                &size, nullptr, detail, sizeof detail);
      if (status == TARVELO_STATUS_CONVERTED) {
        const Bytes out = TakeBuffer(buffer, size);
        ASSERT_GE(out.size(), 18U) << name << " cut at " << length;
        const size_t pixel_bytes = out[16] / 8U;
        EXPECT_EQ(out.size(), 18 + size_t{ReadLe16(out, 12)} * ReadLe16(out, 14) * pixel_bytes)
            << name << " cut at " << length;
      } else {
        EXPECT_EQ(TARVELO_STATUS_SOURCE_UNREADABLE, status) << name << " cut at " << length;
        EXPECT_NE("", std::string(detail)) << name << " cut at " << length;
        EXPECT_EQ(nullptr, std::strchr(detail, '\n'));
        EXPECT_EQ(nullptr, buffer);
      }
    }
  }
}

TEST_F(MemorySources, RefusalsNameTheirCause) {
  const Bytes png = ReadFileBytes(dir_.File("a.png"));
  char detail[160] = "";
  EXPECT_EQ(TARVELO_STATUS_SOURCE_UNREADABLE,
            TarveloConvertMemory(png.data(), png.size() - 20, dir_.File("x.tga").c_str(), TARVELO_LAYOUT_TGA,
                                 nullptr, detail, sizeof detail));
  EXPECT_STREQ("file ends early", detail);
  const char garbage[] = "this is not an image at all, only words";
  EXPECT_EQ(TARVELO_STATUS_SOURCE_UNREADABLE,
            TarveloConvertMemory(garbage, sizeof garbage, dir_.File("x.tga").c_str(), TARVELO_LAYOUT_TGA,
                                 nullptr, detail, sizeof detail));
  EXPECT_STREQ("not an image format this library reads (JPEG, PNG, BMP, TGA, GIF, PSD, HDR, PIC, PNM)",
               detail);
  EXPECT_EQ(TARVELO_STATUS_SOURCE_UNREADABLE,
            TarveloConvertMemory(png.data(), 0, dir_.File("x.tga").c_str(), TARVELO_LAYOUT_TGA, nullptr,
                                 detail, sizeof detail));
  EXPECT_STREQ("source is empty", detail);
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT, TarveloConvertMemory(nullptr, 10, dir_.File("x.tga").c_str(),
                                                                  TARVELO_LAYOUT_TGA, nullptr, nullptr, 0));
  EXPECT_FALSE(FileExists(dir_.File("x.tga")));
}

// The decoded-size cap of one call applies to memory as to files; a larger value
// than the library's own cap is lowered to it.
TEST_F(MemorySources, DecodedSizeCapIsPerCall) {
  const Bytes png = ReadFileBytes(dir_.File("a.png"));  // 9 x 7 = 63 pixels
  TarveloOptions options = Options(false);
  char detail[160] = "";
  for (const uint64_t cap : {uint64_t{62}, uint64_t{63}, uint64_t{0}, UINT64_MAX}) {
    options.max_decoded_pixels = cap;
    void* buffer = nullptr;
    size_t size = 0;
    const TarveloStatus status = TarveloConvertMemoryToBuffer(
        png.data(), png.size(), TARVELO_LAYOUT_TGA, &buffer, &size, &options, detail, sizeof detail);
    if (cap == 62) {
      EXPECT_EQ(TARVELO_STATUS_SOURCE_UNREADABLE, status);
      EXPECT_STREQ("image exceeds the decoded-size limit (62 pixels)", detail);
    } else {
      EXPECT_EQ(TARVELO_STATUS_CONVERTED, status) << cap;
      TarveloFree(buffer);
    }
  }
  options.max_decoded_pixels = 62;
  EXPECT_EQ(TARVELO_STATUS_SOURCE_UNREADABLE,
            TarveloConvertWithOptions(dir_.File("a.png").c_str(), dir_.File("capped.tga").c_str(),
                                      TARVELO_LAYOUT_TGA, &options, nullptr, 0));
  EXPECT_FALSE(FileExists(dir_.File("capped.tga")));
}

// Large enough for the helper threads (over 16 MiB decoded and written), the
// output with threads is byte for byte the output without.
TEST(Threads, OnAndOffGiveTheSameBytes) {
  const TempDir dir;
  const Image picture = MakeTestImage(2400, 1800, 4);
  ASSERT_TRUE(WriteTga(dir.File("big.tga"), picture, false));
  const Bytes source = ReadFileBytes(dir.File("big.tga"));
  for (const TarveloLayout layout : kLayouts) {
    const Bytes expected = Expected(picture, layout);
    for (const bool threads : {false, true}) {
      SCOPED_TRACE(threads ? "threads allowed" : "no threads");
      const TarveloOptions options = Options(threads);
      void* buffer = nullptr;
      size_t size = 0;
      ASSERT_EQ(TARVELO_STATUS_CONVERTED, TarveloConvertMemoryToBuffer(source.data(), source.size(), layout,
                                                                       &buffer, &size, &options, nullptr, 0));
      EXPECT_TRUE(expected == TakeBuffer(buffer, size));
      const std::string path = dir.File("out");
      ASSERT_EQ(TARVELO_STATUS_CONVERTED, TarveloConvertWithOptions(dir.File("big.tga").c_str(), path.c_str(),
                                                                    layout, &options, nullptr, 0));
      EXPECT_TRUE(expected == ReadFileBytes(path));
      Collector collector;
      ASSERT_EQ(TARVELO_STATUS_CONVERTED,
                TarveloWritePixelsToFunc(picture.pixels.data(), picture.width, picture.height, 4, 0, layout,
                                         Collector::Write, &collector, &options, nullptr, 0));
      EXPECT_TRUE(expected == collector.bytes);
    }
  }
}

// A path destination keeps the file guarantees: on failure nothing new appears and
// an existing destination keeps its bytes.
TEST(PathDestinations, FailuresLeaveNothingAndKeepTheOldFile) {
  const TempDir dir;
  const std::string existing = dir.File("keep.tga");
  const Bytes old = {1, 2, 3, 4, 5};
  WriteFileBytes(existing, old);
  const char garbage[] = "GIF89a not really";
  EXPECT_EQ(TARVELO_STATUS_SOURCE_UNREADABLE, TarveloConvertMemory(garbage, sizeof garbage, existing.c_str(),
                                                                   TARVELO_LAYOUT_TGA, nullptr, nullptr, 0));
  const std::vector<uint8_t> row(size_t{65536} * 3);
  EXPECT_EQ(TARVELO_STATUS_IMAGE_TOO_LARGE, TarveloWritePixels(row.data(), 65536, 1, 3, 0, existing.c_str(),
                                                               TARVELO_LAYOUT_TGA, nullptr, nullptr, 0));
  const Image image = MakeTestImage(3, 3, 3);
  EXPECT_EQ(TARVELO_STATUS_DESTINATION_UNOPENABLE,
            TarveloWritePixels(image.pixels.data(), 3, 3, 3, 0, dir.File("missing/out.tga").c_str(),
                               TARVELO_LAYOUT_TGA, nullptr, nullptr, 0));
  EXPECT_EQ(old, ReadFileBytes(existing));
  EXPECT_EQ(std::vector<std::string>{"keep.tga"}, ListDirectory(dir.path().string()));
  // Success replaces it whole.
  ASSERT_EQ(TARVELO_STATUS_CONVERTED, TarveloWritePixels(image.pixels.data(), 3, 3, 3, 0, existing.c_str(),
                                                         TARVELO_LAYOUT_TGA, nullptr, nullptr, 0));
  EXPECT_EQ(ExpectedTgaFile(image), ReadFileBytes(existing));
}

TEST(ImageInfo, ReportsWhatAConversionDecodes) {
  const TempDir dir;
  struct Source {
    std::string name;
    int channels;
    const char* format;
  };
  ASSERT_TRUE(WritePng(dir.File("ga.png"), MakeTestImage(7, 5, 2)));
  ASSERT_TRUE(WriteBmp(dir.File("rgb.bmp"), MakeTestImage(6, 4, 3)));
  ASSERT_TRUE(WriteTga(dir.File("rgba.tga"), MakeTestImage(3, 9, 4), false));
  ASSERT_TRUE(WriteJpeg(dir.File("grey.jpg"), MakeTestImage(8, 8, 1), 80));
  ASSERT_TRUE(WriteHdr(dir.File("light.hdr"), MakeTestImage(4, 2, 3)));
  for (const std::string name : {"ga.png", "rgb.bmp", "rgba.tga", "grey.jpg", "light.hdr"}) {
    SCOPED_TRACE(name);
    // What the conversion actually decodes: the TGA it writes says so.
    Collector converted;
    ASSERT_EQ(TARVELO_STATUS_CONVERTED,
              TarveloConvertToFunc(dir.File(name).c_str(), TARVELO_LAYOUT_TGA, Collector::Write, &converted,
                                   nullptr, nullptr, 0));
    TarveloImageInfo info;
    ASSERT_EQ(TARVELO_STATUS_CONVERTED, TarveloReadInfo(dir.File(name).c_str(), &info, nullptr, 0));
    EXPECT_EQ(static_cast<int>(ReadLe16(converted.bytes, 12)), info.width);
    EXPECT_EQ(static_cast<int>(ReadLe16(converted.bytes, 14)), info.height);
    EXPECT_EQ(converted.bytes[16] == 32, info.channels % 2 == 0);
    const Bytes bytes = ReadFileBytes(dir.File(name));
    TarveloImageInfo from_memory;
    ASSERT_EQ(TARVELO_STATUS_CONVERTED,
              TarveloReadInfoMemory(bytes.data(), bytes.size(), &from_memory, nullptr, 0));
    EXPECT_EQ(info.width, from_memory.width);
    EXPECT_EQ(info.height, from_memory.height);
    EXPECT_EQ(info.channels, from_memory.channels);
    EXPECT_STREQ(info.format, from_memory.format);
  }
  TarveloImageInfo info;
  ASSERT_EQ(TARVELO_STATUS_CONVERTED, TarveloReadInfo(dir.File("ga.png").c_str(), &info, nullptr, 0));
  EXPECT_EQ(2, info.channels);
  EXPECT_STREQ("PNG", info.format);
  ASSERT_EQ(TARVELO_STATUS_CONVERTED, TarveloReadInfo(dir.File("grey.jpg").c_str(), &info, nullptr, 0));
  EXPECT_EQ(3, info.channels);  // the test's JPEG encoder always stores colour
  EXPECT_STREQ("JPEG", info.format);
  ASSERT_EQ(TARVELO_STATUS_CONVERTED, TarveloReadInfo(dir.File("light.hdr").c_str(), &info, nullptr, 0));
  EXPECT_STREQ("HDR", info.format);
  EXPECT_EQ(3, info.channels);

  char detail[128] = "";
  EXPECT_EQ(TARVELO_STATUS_SOURCE_UNREADABLE,
            TarveloReadInfo(dir.File("absent.png").c_str(), &info, detail, sizeof detail));
  EXPECT_STREQ("No such file or directory", detail);
  EXPECT_EQ(0, info.width);
  EXPECT_EQ(nullptr, info.format);
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT, TarveloReadInfo(nullptr, &info, nullptr, 0));
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT, TarveloReadInfoMemory("x", 1, nullptr, nullptr, 0));
}

// A PNG whose tRNS chunk gives RGB pixels an alpha channel: the decoder delivers
// four channels, so the info says four.
TEST(ImageInfo, PngTransparencyChunkAddsAlpha) {
  // 1 x 1 RGB, 8 bits, tRNS naming colour (0, 0, 0); the pixel is black.
  const Bytes png = FromHex(
      "89 50 4E 47 0D 0A 1A 0A 00 00 00 0D 49 48 44 52 00 00 00 01 00 00 00 01 08 02 00 00 00 90 77 53 DE"
      " 00 00 00 06 74 52 4E 53 00 00 00 00 00 00 6E A6 07 91"
      " 00 00 00 0C 49 44 41 54 08 D7 63 60 60 60 00 00 00 04 00 01 27 34 27 0A"
      " 00 00 00 00 49 45 4E 44 AE 42 60 82");
  TarveloImageInfo info;
  char detail[160] = "";
  ASSERT_EQ(TARVELO_STATUS_CONVERTED,
            TarveloReadInfoMemory(png.data(), png.size(), &info, detail, sizeof detail))
      << detail;
  EXPECT_EQ(4, info.channels);
  Collector converted;
  ASSERT_EQ(TARVELO_STATUS_CONVERTED,
            TarveloConvertMemoryToFunc(png.data(), png.size(), TARVELO_LAYOUT_TGA, Collector::Write,
                                       &converted, nullptr, detail, sizeof detail))
      << detail;
  EXPECT_EQ(32, converted.bytes[16]);
}

TEST(Options, VersionedBySize) {
  TarveloOptions options;
  std::memset(&options, 0x5A, sizeof options);
  TarveloInitOptions(&options);
  EXPECT_EQ(sizeof(TarveloOptions), options.struct_size);
  EXPECT_EQ(0, options.allow_threads);
  EXPECT_EQ(0U, options.max_decoded_pixels);
  TarveloInitOptions(nullptr);  // ignored

  const Image image = MakeTestImage(2, 2, 3);
  // Too small to be any version.
  options.struct_size = sizeof(size_t);
  char detail[160] = "";
  void* buffer = nullptr;
  size_t size = 0;
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT,
            TarveloWritePixelsToBuffer(image.pixels.data(), 2, 2, 3, 0, TARVELO_LAYOUT_TGA, &buffer, &size,
                                       &options, detail, sizeof detail));
  EXPECT_NE(nullptr, std::strstr(detail, "TarveloInitOptions"));
  // A newer, larger structure: accepted while its extra fields hold their defaults.
  struct Newer {
    TarveloOptions known;
    uint64_t future_field;
  } newer{};
  TarveloInitOptions(&newer.known);
  newer.known.struct_size = sizeof newer;
  EXPECT_EQ(TARVELO_STATUS_CONVERTED,
            TarveloWritePixelsToBuffer(image.pixels.data(), 2, 2, 3, 0, TARVELO_LAYOUT_TGA, &buffer, &size,
                                       &newer.known, nullptr, 0));
  TarveloFree(buffer);
  newer.future_field = 1;
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT,
            TarveloWritePixelsToBuffer(image.pixels.data(), 2, 2, 3, 0, TARVELO_LAYOUT_TGA, &buffer, &size,
                                       &newer.known, nullptr, 0));
  EXPECT_EQ(nullptr, buffer);
  TarveloFree(nullptr);
}

TEST(LayoutNames, NamesAndExtensionsCaseInsensitively) {
  struct Case {
    const char* name;
    TarveloStatus status;
    TarveloLayout layout;
  };
  const Case cases[] = {
      {"out.tga", TARVELO_STATUS_CONVERTED, TARVELO_LAYOUT_TGA},
      {"dir.bmp/Photo.TGA", TARVELO_STATUS_CONVERTED, TARVELO_LAYOUT_TGA},
      {"x.Bmp", TARVELO_STATUS_CONVERTED, TARVELO_LAYOUT_BMP},
      {"out/Photo.BMP", TARVELO_STATUS_CONVERTED, TARVELO_LAYOUT_BMP},
      {".tga", TARVELO_STATUS_CONVERTED, TARVELO_LAYOUT_TGA},
      {"TGA", TARVELO_STATUS_CONVERTED, TARVELO_LAYOUT_TGA},
      {"bmp", TARVELO_STATUS_CONVERTED, TARVELO_LAYOUT_BMP},
      {".BMP", TARVELO_STATUS_CONVERTED, TARVELO_LAYOUT_BMP},
      {"out.tga.png", TARVELO_STATUS_INVALID_ARGUMENT, TARVELO_LAYOUT_BMP},
      {"bMp", TARVELO_STATUS_CONVERTED, TARVELO_LAYOUT_BMP},
      {"out/tga", TARVELO_STATUS_INVALID_ARGUMENT, TARVELO_LAYOUT_BMP},
      {"tg", TARVELO_STATUS_INVALID_ARGUMENT, TARVELO_LAYOUT_BMP},
      {"tgaa", TARVELO_STATUS_INVALID_ARGUMENT, TARVELO_LAYOUT_BMP},
      {"tga.", TARVELO_STATUS_INVALID_ARGUMENT, TARVELO_LAYOUT_BMP},
      {"dir/tga", TARVELO_STATUS_INVALID_ARGUMENT, TARVELO_LAYOUT_BMP},
      {"xtga", TARVELO_STATUS_INVALID_ARGUMENT, TARVELO_LAYOUT_BMP},
      {"png", TARVELO_STATUS_INVALID_ARGUMENT, TARVELO_LAYOUT_BMP},
      {"out.tgaa", TARVELO_STATUS_INVALID_ARGUMENT, TARVELO_LAYOUT_BMP},
      {"dir.tga/out", TARVELO_STATUS_INVALID_ARGUMENT, TARVELO_LAYOUT_BMP},
      {"", TARVELO_STATUS_INVALID_ARGUMENT, TARVELO_LAYOUT_BMP},
  };
  for (const Case& c : cases) {
    TarveloLayout layout = TARVELO_LAYOUT_BMP;
    if (c.status != TARVELO_STATUS_CONVERTED) {
      layout = TARVELO_LAYOUT_BMP;  // must stay unchanged
    }
    EXPECT_EQ(c.status, TarveloLayoutFromName(c.name, &layout)) << c.name;
    EXPECT_EQ(c.layout, layout) << c.name;
  }
  TarveloLayout layout = TARVELO_LAYOUT_TGA;
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT, TarveloLayoutFromName(nullptr, &layout));
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT, TarveloLayoutFromName("a.tga", nullptr));
}

TEST(Version, HeaderAndLibraryAgree) { EXPECT_STREQ(TARVELO_VERSION_STRING, TarveloLibraryVersion()); }

}  // namespace
}  // namespace tarvelo::test
