// The programs' entry through the public shared library: every source (a file, bytes
// in memory, raw pixels) to every output (a file, a write callback, a new buffer),
// image info, options and layout names. Every output is compared byte for byte with
// the layouts' tables (expected_layouts).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "TarveloConvert.h"
#include "api_sources.h"
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

TarveloSource PixelSource(const void* pixels, int width, int height, int channels, size_t row_stride = 0) {
  TarveloSource source{};
  source.kind = TARVELO_SOURCE_PIXELS;
  source.data = pixels;
  source.width = width;
  source.height = height;
  source.channels = channels;
  source.row_stride = row_stride;
  return source;
}

// The layout is an int: a test may give a value no enumerator names, which C++ may
// not even hold in a TarveloLayout variable.
TarveloStatus ToFile(const TarveloSource& source, const std::string& path, int layout,
                     const TarveloOptions* options = nullptr, TarveloResult* result = nullptr) {
  TarveloOutput output{};
  output.kind = TARVELO_OUTPUT_FILE;
  output.path = path.c_str();
  return TarveloConvertImage(&source, &output, static_cast<TarveloLayout>(layout), options, result);
}

TarveloStatus ToFunc(const TarveloSource& source, Collector& collector, int layout,
                     const TarveloOptions* options = nullptr, TarveloResult* result = nullptr) {
  TarveloOutput output{};
  output.kind = TARVELO_OUTPUT_FUNC;
  output.write = Collector::Write;
  output.context = &collector;
  return TarveloConvertImage(&source, &output, static_cast<TarveloLayout>(layout), options, result);
}

// A buffer output's bytes, copied and released; the buffer is null on failure.
TarveloStatus ToBuffer(const TarveloSource& source, Bytes& bytes, int layout,
                       const TarveloOptions* options = nullptr, TarveloResult* result = nullptr) {
  TarveloOutput output{};
  output.kind = TARVELO_OUTPUT_BUFFER;
  output.buffer = &bytes;
  output.size = 99;  // both overwritten
  const TarveloStatus status =
      TarveloConvertImage(&source, &output, static_cast<TarveloLayout>(layout), options, result);
  EXPECT_EQ(status == TARVELO_STATUS_CONVERTED, output.buffer != nullptr);
  EXPECT_EQ(output.buffer == nullptr, output.size == 0);
  const auto* begin = static_cast<const uint8_t*>(output.buffer);
  bytes.assign(begin, begin + output.size);
  TarveloFree(output.buffer);
  return status;
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
TEST(PixelSources, EveryChannelCountAndLayoutIsByteExactEverywhere) {
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
          const TarveloSource source =
              PixelSource(pixels.data(), width, 6, channels, extra == 0 ? 0 : row + extra);
          const std::string path = dir.File("out-" + std::to_string(extra));
          TarveloResult result;
          std::memset(&result, 'x', sizeof result);
          ASSERT_EQ(TARVELO_STATUS_CONVERTED, ToFile(source, path, layout, nullptr, &result))
              << result.detail;
          EXPECT_EQ(TARVELO_STATUS_CONVERTED, result.status);
          EXPECT_EQ(0, result.error_number);
          EXPECT_STREQ("", result.detail);
          EXPECT_EQ(expected, ReadFileBytes(path));
          Collector collector;
          ASSERT_EQ(TARVELO_STATUS_CONVERTED, ToFunc(source, collector, layout));
          EXPECT_EQ(expected, collector.bytes);
          Bytes buffer;
          ASSERT_EQ(TARVELO_STATUS_CONVERTED, ToBuffer(source, buffer, layout));
          EXPECT_EQ(expected, buffer);
        }
      }
    }
  }
}

TEST(PixelSources, BadArgumentsAreRefusedBeforeAnythingIsWritten) {
  const TempDir dir;
  const Image image = MakeTestImage(4, 3, 3);
  const std::string path = dir.File("never.tga");
  struct Case {
    TarveloSource source;
    int layout;
  };
  const uint8_t* pixels = image.pixels.data();
  TarveloSource unknown_kind = PixelSource(pixels, 4, 3, 3);
  const int seven = 7;
  std::memcpy(&unknown_kind.kind, &seven, sizeof seven);
  const Case cases[] = {
      {PixelSource(nullptr, 4, 3, 3), TARVELO_LAYOUT_TGA},
      {PixelSource(pixels, 0, 3, 3), TARVELO_LAYOUT_TGA},
      {PixelSource(pixels, 4, -1, 3), TARVELO_LAYOUT_TGA},
      {PixelSource(pixels, 4, 3, 0), TARVELO_LAYOUT_TGA},
      {PixelSource(pixels, 4, 3, 5), TARVELO_LAYOUT_TGA},
      {PixelSource(pixels, 4, 3, 3, 11), TARVELO_LAYOUT_BMP},  // shorter than a row of 12 bytes
      {PixelSource(pixels, 4, 3, 3), 7},
      {unknown_kind, TARVELO_LAYOUT_TGA},
      {MemorySource(nullptr, 10), TARVELO_LAYOUT_TGA},
      {FileSource(path), -1},
  };
  TarveloSource null_path = FileSource(path);
  null_path.path = nullptr;
  for (const Case& bad : cases) {
    const int layout = bad.layout;
    Collector collector;
    TarveloResult result;
    EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT, ToFile(bad.source, path, layout, nullptr, &result));
    EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT, result.status);
    EXPECT_NE("", std::string(result.detail));
    EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT, ToFunc(bad.source, collector, layout));
    Bytes buffer;
    EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT, ToBuffer(bad.source, buffer, layout));
    EXPECT_TRUE(collector.bytes.empty());
  }
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT, ToFile(null_path, dir.File("x.tga"), TARVELO_LAYOUT_TGA));
  EXPECT_FALSE(FileExists(path));
  // Outputs that cannot be written to, and missing structures.
  const TarveloSource source = PixelSource(pixels, 4, 3, 3);
  TarveloOutput outputs[3] = {};  // a file output without a path, a function output without a function
  outputs[1].kind = TARVELO_OUTPUT_FUNC;
  const int nine = 9;
  std::memcpy(&outputs[2].kind, &nine, sizeof nine);
  for (TarveloOutput& output : outputs) {
    TarveloResult result;
    EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT,
              TarveloConvertImage(&source, &output, TARVELO_LAYOUT_TGA, nullptr, &result));
    EXPECT_NE("", std::string(result.detail));
  }
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT,
            TarveloConvertImage(nullptr, outputs, TARVELO_LAYOUT_TGA, nullptr, nullptr));
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT,
            TarveloConvertImage(&source, nullptr, TARVELO_LAYOUT_TGA, nullptr, nullptr));
}

// Too large for the layout: refused before any output sees a byte, and an existing
// file keeps its bytes. The pixels are never read, so one row stands for a tall image.
TEST(PixelSources, ImagesTooLargeForTheLayoutReachNoOutput) {
  const TempDir dir;
  const std::string existing = dir.File("keep.tga");
  WriteFileBytes(existing, {1, 2, 3});
  const std::vector<uint8_t> row(size_t{65536} * 3);
  const TarveloSource source = PixelSource(row.data(), 65536, 1, 3);
  Collector collector;
  TarveloResult result;
  EXPECT_EQ(TARVELO_STATUS_IMAGE_TOO_LARGE, ToFunc(source, collector, TARVELO_LAYOUT_TGA, nullptr, &result));
  EXPECT_STREQ("TGA stores at most 65535 pixels per side", result.detail);
  EXPECT_EQ(0U, collector.bytes.size() + static_cast<size_t>(collector.refused));
  Bytes buffer;
  EXPECT_EQ(TARVELO_STATUS_IMAGE_TOO_LARGE, ToBuffer(source, buffer, TARVELO_LAYOUT_TGA));
  EXPECT_EQ(TARVELO_STATUS_IMAGE_TOO_LARGE, ToFile(source, existing, TARVELO_LAYOUT_TGA));
  EXPECT_EQ((Bytes{1, 2, 3}), ReadFileBytes(existing));
  EXPECT_EQ(std::vector<std::string>{"keep.tga"}, ListDirectory(dir.path().string()));
}

// A callback that refuses at any offset stops the write there: WRITE_FAILED, no
// further call, and everything before it was the file's true beginning. The output
// is larger than the sink's block so that the refusal can fall on any block; a small
// image arrives in one call, so refusing it at 0 is refusing the only block.
TEST(WriteCallback, RefusalAtEveryOffsetStopsTheWrite) {
  for (const int width : {300, 3}) {
    const Image image = MakeTestImage(width, width == 3 ? 2 : 250, 4);
    const TarveloSource source = PixelSource(image.pixels.data(), image.width, image.height, 4);
    for (const TarveloLayout layout : kLayouts) {
      const Bytes expected = Expected(image, layout);
      for (size_t refuse_from = 0; refuse_from < expected.size(); refuse_from += 997) {
        Collector collector;
        collector.refuse_from = refuse_from;
        TarveloResult result;
        ASSERT_EQ(TARVELO_STATUS_WRITE_FAILED, ToFunc(source, collector, layout, nullptr, &result))
            << refuse_from;
        EXPECT_STREQ("the write callback reported a failure", result.detail);
        EXPECT_EQ(0, result.error_number);
        EXPECT_EQ(0, collector.calls_after_refusal) << refuse_from;
        EXPECT_LE(collector.bytes.size(), refuse_from);
        EXPECT_TRUE(std::equal(collector.bytes.begin(), collector.bytes.end(), expected.begin()));
      }
    }
  }
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

// The same bytes to every output: a file and the same bytes in memory convert
// exactly as TarveloConvert converts the file, to a file, a callback and a buffer.
TEST_F(MemorySources, EverySourceGivesTheSameBytesToEveryOutput) {
  for (const std::string& name : names_) {
    const Bytes bytes = ReadFileBytes(dir_.File(name));
    const std::string path = dir_.File(name);
    for (const TarveloLayout layout : kLayouts) {
      SCOPED_TRACE(name + " layout " + std::to_string(layout));
      const std::string reference = dir_.File("reference.out");
      ASSERT_EQ(TARVELO_STATUS_CONVERTED,
                TarveloConvert(path.c_str(), reference.c_str(), layout, nullptr, 0));
      const Bytes expected = ReadFileBytes(reference);
      for (const TarveloSource& source : {FileSource(path), MemorySource(bytes.data(), bytes.size())}) {
        const std::string out = dir_.File("out");
        ASSERT_EQ(TARVELO_STATUS_CONVERTED, ToFile(source, out, layout));
        EXPECT_EQ(expected, ReadFileBytes(out));
        Collector collector;
        ASSERT_EQ(TARVELO_STATUS_CONVERTED, ToFunc(source, collector, layout));
        EXPECT_EQ(expected, collector.bytes);
        Bytes buffer;
        ASSERT_EQ(TARVELO_STATUS_CONVERTED, ToBuffer(source, buffer, layout));
        EXPECT_EQ(expected, buffer);
      }
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
      Bytes out;
      TarveloResult result;
      // The pointer stays valid for length 0: only the size says "empty".
      const TarveloStatus status =
          ToBuffer(MemorySource(source.data(), length), out, TARVELO_LAYOUT_TGA, nullptr, &result);
      if (status == TARVELO_STATUS_CONVERTED) {
        ASSERT_GE(out.size(), 18U) << name << " cut at " << length;
        const size_t pixel_bytes = out[16] / 8U;
        EXPECT_EQ(out.size(), 18 + size_t{ReadLe16(out, 12)} * ReadLe16(out, 14) * pixel_bytes)
            << name << " cut at " << length;
      } else {
        EXPECT_EQ(TARVELO_STATUS_SOURCE_UNREADABLE, status) << name << " cut at " << length;
        EXPECT_NE("", std::string(result.detail)) << name << " cut at " << length;
        EXPECT_EQ(nullptr, std::strchr(result.detail, '\n'));
      }
    }
  }
}

// A refusal names its cause; a system's refusal carries its errno with its text.
TEST_F(MemorySources, RefusalsNameTheirCause) {
  const Bytes png = ReadFileBytes(dir_.File("a.png"));
  const char garbage[] = "this is not an image at all, only words";
  struct Case {
    TarveloSource source;
    const char* detail;
    int error_number;
  };
  const std::string absent = dir_.File("absent.png");
  const std::string directory = dir_.path().string();
  const Case cases[] = {
      {MemorySource(png.data(), png.size() - 20), "file ends early", 0},
      {MemorySource(garbage, sizeof garbage),
       "not an image format this library reads (JPEG, PNG, BMP, TGA, GIF, PSD, HDR, PIC, PNM)", 0},
      {MemorySource(png.data(), 0), "source is empty", 0},
      {FileSource(absent), "No such file or directory", ENOENT},
      {FileSource(directory), "Is a directory", EISDIR},
  };
  for (const Case& c : cases) {
    TarveloResult result;
    EXPECT_EQ(TARVELO_STATUS_SOURCE_UNREADABLE,
              ToFile(c.source, dir_.File("x.tga"), TARVELO_LAYOUT_TGA, nullptr, &result));
    EXPECT_STREQ(c.detail, result.detail);
    EXPECT_EQ(c.error_number, result.error_number) << c.detail;
  }
  // The destination's system error.
  TarveloResult result;
  EXPECT_EQ(TARVELO_STATUS_DESTINATION_UNOPENABLE,
            ToFile(MemorySource(png.data(), png.size()), dir_.File("missing/x.tga"), TARVELO_LAYOUT_TGA,
                   nullptr, &result));
  EXPECT_EQ(ENOENT, result.error_number);
  EXPECT_STREQ("No such file or directory", result.detail);
  EXPECT_FALSE(FileExists(dir_.File("x.tga")));
}

// The decoded-size cap of one call applies to memory as to files; a larger value
// than the library's own cap is lowered to it.
TEST_F(MemorySources, DecodedSizeCapIsPerCall) {
  const Bytes png = ReadFileBytes(dir_.File("a.png"));  // 9 x 7 = 63 pixels
  TarveloOptions options = Options(false);
  for (const uint64_t cap : {uint64_t{62}, uint64_t{63}, uint64_t{0}, UINT64_MAX}) {
    options.max_decoded_pixels = cap;
    Bytes out;
    TarveloResult result;
    const TarveloStatus status =
        ToBuffer(MemorySource(png.data(), png.size()), out, TARVELO_LAYOUT_TGA, &options, &result);
    if (cap == 62) {
      EXPECT_EQ(TARVELO_STATUS_SOURCE_UNREADABLE, status);
      EXPECT_STREQ("image exceeds the decoded-size limit (62 pixels)", result.detail);
    } else {
      EXPECT_EQ(TARVELO_STATUS_CONVERTED, status) << cap;
    }
  }
  options.max_decoded_pixels = 62;
  EXPECT_EQ(TARVELO_STATUS_SOURCE_UNREADABLE,
            ToFile(FileSource(dir_.File("a.png")), dir_.File("capped.tga"), TARVELO_LAYOUT_TGA, &options));
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
      Bytes buffer;
      ASSERT_EQ(TARVELO_STATUS_CONVERTED,
                ToBuffer(MemorySource(source.data(), source.size()), buffer, layout, &options));
      EXPECT_TRUE(expected == buffer);
      const std::string path = dir.File("out");
      ASSERT_EQ(TARVELO_STATUS_CONVERTED, ToFile(FileSource(dir.File("big.tga")), path, layout, &options));
      EXPECT_TRUE(expected == ReadFileBytes(path));
      Collector collector;
      ASSERT_EQ(TARVELO_STATUS_CONVERTED,
                ToFunc(PixelSource(picture.pixels.data(), picture.width, picture.height, 4), collector,
                       layout, &options));
      EXPECT_TRUE(expected == collector.bytes);
    }
  }
}

TEST(ImageInfo, ReportsWhatAConversionDecodes) {
  const TempDir dir;
  ASSERT_TRUE(WritePng(dir.File("ga.png"), MakeTestImage(7, 5, 2)));
  ASSERT_TRUE(WriteBmp(dir.File("rgb.bmp"), MakeTestImage(6, 4, 3)));
  ASSERT_TRUE(WriteTga(dir.File("rgba.tga"), MakeTestImage(3, 9, 4), false));
  ASSERT_TRUE(WriteJpeg(dir.File("grey.jpg"), MakeTestImage(8, 8, 1), 80));
  ASSERT_TRUE(WriteHdr(dir.File("light.hdr"), MakeTestImage(4, 2, 3)));
  for (const std::string name : {"ga.png", "rgb.bmp", "rgba.tga", "grey.jpg", "light.hdr"}) {
    SCOPED_TRACE(name);
    const std::string path = dir.File(name);
    // What the conversion actually decodes: the TGA it writes says so.
    Collector converted;
    ASSERT_EQ(TARVELO_STATUS_CONVERTED, ToFunc(FileSource(path), converted, TARVELO_LAYOUT_TGA));
    TarveloImageInfo info;
    const TarveloSource file = FileSource(path);
    ASSERT_EQ(TARVELO_STATUS_CONVERTED, TarveloReadInfo(&file, &info, nullptr));
    EXPECT_EQ(static_cast<int>(ReadLe16(converted.bytes, 12)), info.width);
    EXPECT_EQ(static_cast<int>(ReadLe16(converted.bytes, 14)), info.height);
    EXPECT_EQ(converted.bytes[16] == 32, info.channels % 2 == 0);
    const Bytes bytes = ReadFileBytes(path);
    const TarveloSource memory = MemorySource(bytes.data(), bytes.size());
    TarveloImageInfo from_memory;
    ASSERT_EQ(TARVELO_STATUS_CONVERTED, TarveloReadInfo(&memory, &from_memory, nullptr));
    EXPECT_EQ(info.width, from_memory.width);
    EXPECT_EQ(info.height, from_memory.height);
    EXPECT_EQ(info.channels, from_memory.channels);
    EXPECT_STREQ(info.format, from_memory.format);
  }
  const struct {
    const char* name;
    int channels;
    const char* format;
  } expected[] = {{"ga.png", 2, "PNG"},
                  {"grey.jpg", 3, "JPEG"},
                  {"light.hdr", 3, "HDR"}};  // the test's JPEG encoder always stores colour
  TarveloImageInfo info;
  for (const auto& e : expected) {
    const std::string path = dir.File(e.name);
    const TarveloSource file = FileSource(path);
    ASSERT_EQ(TARVELO_STATUS_CONVERTED, TarveloReadInfo(&file, &info, nullptr));
    EXPECT_EQ(e.channels, info.channels);
    EXPECT_STREQ(e.format, info.format);
  }
  const std::string absent_path = dir.File("absent.png");
  const TarveloSource absent = FileSource(absent_path);
  TarveloResult result;
  EXPECT_EQ(TARVELO_STATUS_SOURCE_UNREADABLE, TarveloReadInfo(&absent, &info, &result));
  EXPECT_STREQ("No such file or directory", result.detail);
  EXPECT_EQ(ENOENT, result.error_number);
  EXPECT_EQ(0, info.width);
  EXPECT_EQ(nullptr, info.format);
  const uint8_t pixel[3] = {};
  const TarveloSource pixels = PixelSource(pixel, 1, 1, 3);
  const TarveloSource memory = MemorySource("x", 1);
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT, TarveloReadInfo(&pixels, &info, nullptr));
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT, TarveloReadInfo(nullptr, &info, nullptr));
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT, TarveloReadInfo(&memory, nullptr, nullptr));
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
  const TarveloSource source = MemorySource(png.data(), png.size());
  TarveloImageInfo info;
  TarveloResult result;
  ASSERT_EQ(TARVELO_STATUS_CONVERTED, TarveloReadInfo(&source, &info, &result)) << result.detail;
  EXPECT_EQ(4, info.channels);
  Collector converted;
  ASSERT_EQ(TARVELO_STATUS_CONVERTED, ToFunc(source, converted, TARVELO_LAYOUT_TGA));
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
  const TarveloSource source = PixelSource(image.pixels.data(), 2, 2, 3);
  // Too small to be any version.
  options.struct_size = sizeof(size_t);
  TarveloResult result;
  Bytes buffer;
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT, ToBuffer(source, buffer, TARVELO_LAYOUT_TGA, &options, &result));
  EXPECT_NE(nullptr, std::strstr(result.detail, "TarveloInitOptions"));
  // A newer, larger structure: accepted while its extra fields hold their defaults.
  struct Newer {
    TarveloOptions known;
    uint64_t future_field;
  } newer{};
  TarveloInitOptions(&newer.known);
  newer.known.struct_size = sizeof newer;
  EXPECT_EQ(TARVELO_STATUS_CONVERTED, ToBuffer(source, buffer, TARVELO_LAYOUT_TGA, &newer.known));
  newer.future_field = 1;
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT, ToBuffer(source, buffer, TARVELO_LAYOUT_TGA, &newer.known));
  TarveloFree(nullptr);
}

// A time limit of the caller's must know when only the file system's work is
// left: the notice comes once, while the destination is still the old file, and not
// for a conversion that fails before it.
TEST(Options, BeforeChangeComesOnceWhileTheOldFileIsThere) {
  TempDir dir;
  struct Seen {
    std::string path;
    int calls = 0;
    Bytes bytes;
  } seen;
  seen.path = dir.File("out.tga");
  WriteFileBytes(seen.path, {'o', 'l', 'd'});
  TarveloOptions options;
  TarveloInitOptions(&options);
  options.before_change = [](void* context) {
    auto& noticed = *static_cast<Seen*>(context);
    ++noticed.calls;
    noticed.bytes = ReadFileBytes(noticed.path);
  };
  options.before_change_context = &seen;
  const Image image = MakeTestImage(3, 2, 3);
  TarveloSource source = PixelSource(image.pixels.data(), 3, 2, 3);
  TarveloOutput output{};
  output.kind = TARVELO_OUTPUT_FILE;
  output.path = seen.path.c_str();
  TarveloResult result;
  ASSERT_EQ(TARVELO_STATUS_CONVERTED,
            TarveloConvertImage(&source, &output, TARVELO_LAYOUT_TGA, &options, &result))
      << result.detail;
  EXPECT_EQ(1, seen.calls);
  EXPECT_EQ((Bytes{'o', 'l', 'd'}), seen.bytes);
  EXPECT_EQ(Expected(image, TARVELO_LAYOUT_TGA), ReadFileBytes(seen.path));
  source.width = 70000;  // too wide for a TGA: refused before any output
  EXPECT_EQ(TARVELO_STATUS_IMAGE_TOO_LARGE,
            TarveloConvertImage(&source, &output, TARVELO_LAYOUT_TGA, &options, &result));
  EXPECT_EQ(1, seen.calls);
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

// The layout table's names, read through the library as Python reads them; each
// name and extension asks for its own layout.
TEST(LayoutNames, TheLibraryListsEveryLayout) {
  const char* name = "untouched";
  const char* extension = "untouched";
  std::vector<std::string> listed;
  int value = 0;
  for (; TarveloLayoutNames(static_cast<TarveloLayout>(value), &name, &extension) == TARVELO_STATUS_CONVERTED;
       ++value) {
    listed.push_back(std::string(name) + " " + extension);
    TarveloLayout back = TARVELO_LAYOUT_TGA;
    ASSERT_EQ(TARVELO_STATUS_CONVERTED, TarveloLayoutFromName(name, &back));
    EXPECT_EQ(value, static_cast<int>(back));
    ASSERT_EQ(TARVELO_STATUS_CONVERTED, TarveloLayoutFromName((std::string("x") + extension).c_str(), &back));
    EXPECT_EQ(value, static_cast<int>(back));
  }
  EXPECT_EQ((std::vector<std::string>{"tga .tga", "bmp .bmp"}), listed);
  EXPECT_STREQ("bmp", name);  // left as the last layout gave them
  EXPECT_EQ(TARVELO_STATUS_CONVERTED, TarveloLayoutNames(TARVELO_LAYOUT_TGA, nullptr, nullptr));
  EXPECT_EQ(TARVELO_STATUS_INVALID_ARGUMENT,
            TarveloLayoutNames(static_cast<TarveloLayout>(-1), &name, &extension));
}

TEST(Version, HeaderAndLibraryAgree) { EXPECT_STREQ(TARVELO_VERSION_STRING, TarveloLibraryVersion()); }

}  // namespace
}  // namespace tarvelo::test
