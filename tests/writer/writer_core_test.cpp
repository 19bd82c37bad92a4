// The writer core: header fields from a template, and the pixel stream under every
// combination of its parameters.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "file_bytes.h"
#include "image_view.h"
#include "temp_dir.h"
#include "test_images.h"
#include "writer/destination_file.h"
#include "writer/layouts.h"
#include "writer/pixel_rows.h"

namespace tarvelo {
namespace {

using test::Bytes;
using test::FromHex;
using test::Image;
using test::View;

// Keeps every byte handed to it; refuses with ENOSPC once `limit` bytes are taken.
class CaptureOutput final : public ByteOutput {
 public:
  explicit CaptureOutput(size_t limit = SIZE_MAX) : limit_(limit) {}
  int Write(const uint8_t* data, size_t size) noexcept override {
    writes_after_failure_ += failed_ ? 1 : 0;
    if (size > limit_ - bytes_.size()) {
      failed_ = true;
      return ENOSPC;
    }
    bytes_.insert(bytes_.end(), data, data + size);
    return 0;
  }
  Bytes bytes_;
  size_t limit_;
  bool failed_ = false;
  int writes_after_failure_ = 0;
};

// Runs `emit` against a ByteSink and returns what reached its output.
template <typename Emit>
Bytes Capture(Emit emit, ByteSink::Mode mode = ByteSink::Mode::kDirect) {
  CaptureOutput output;
  {
    ByteSink sink(output, mode);
    EXPECT_TRUE(sink.ready());
    emit(sink);
    EXPECT_TRUE(sink.Flush());
  }
  return output.bytes_;
}

Bytes Fields(const char* field_template, std::vector<int32_t> values) {
  return Capture([&](ByteSink& sink) { EmitFields(sink, field_template, values); });
}

Bytes Rows(const Image& image, const PixelStreamParams& params,
           ByteSink::Mode mode = ByteSink::Mode::kDirect) {
  return Capture([&](ByteSink& sink) { EmitPixelRows(sink, params, View(image)); }, mode);
}

Image OnePixel(std::vector<uint8_t> channels) {
  const int count = static_cast<int>(channels.size());
  return Image{1, 1, count, std::move(channels)};
}

TEST(EmitFields, WritesEachFieldWidthLittleEndian) {
  EXPECT_EQ(FromHex("44  44 33  44 33 22 11"), Fields("1 2 4", {0x11223344, 0x11223344, 0x11223344}));
}

TEST(EmitFields, BlanksConsumeNoValue) { EXPECT_EQ(FromHex("07 08 09 00"), Fields("  1   1 2 ", {7, 8, 9})); }

TEST(EmitFields, UnknownCharacterEndsTheHeader) {
  EXPECT_EQ(FromHex("01 02 00"), Fields("12x4", {1, 2, 3, 4}));
  EXPECT_EQ(FromHex("05"), Fields("1\t1", {5, 6}));  // a tab is not a blank
  EXPECT_EQ(FromHex("05"), Fields("13", {5, 6}));
  EXPECT_TRUE(Fields("", {5}).empty());
  EXPECT_TRUE(Fields("?111", {1, 2, 3}).empty());
}

TEST(EmitFields, TwoByteFieldKeepsLow16Bits) {
  EXPECT_EQ(FromHex("45 23"), Fields("2", {0x12345}));
  EXPECT_EQ(FromHex("70 11"), Fields("2", {70000}));
  EXPECT_EQ(FromHex("FF FF"), Fields("2", {65535}));
  EXPECT_EQ(FromHex("00 00"), Fields("2", {65536}));
}

TEST(EmitFields, NegativeValuesAreTwosComplement) {
  EXPECT_EQ(FromHex("FF  FE FF  FD FF FF FF"), Fields("124", {-1, -2, -3}));
  EXPECT_EQ(FromHex("00 00 00 80"), Fields("4", {INT32_MIN}));
  EXPECT_EQ(FromHex("80"), Fields("1", {-128}));
}

TEST(EmitFields, StopsWhenValuesRunOut) { EXPECT_EQ(FromHex("01 02 00"), Fields("1 2 4 1", {1, 2})); }

// The pixel stream as the writer's rules describe it, pixel by pixel: the oracle
// for the writer's table-driven routines.
Bytes ModelPixelRows(const Image& image, const PixelStreamParams& p) {
  static constexpr int kBackground[3] = {255, 0, 255};
  Bytes out;
  const int c = image.channels;
  for (int y = image.height - 1; y >= 0; --y) {
    for (int x = 0; x < image.width; ++x) {
      const uint8_t* d = image.Pixel(x, y);
      std::array<int, 3> colour{};
      for (int k = 0; k < 3; ++k) {
        colour[k] = c <= 2 ? d[0] : d[k];
        if (c == 4 && !p.keep_alpha) {
          colour[k] = kBackground[k] + ((d[k] - kBackground[k]) * d[3]) / 255;
        }
      }
      for (const int k : {2, 1, 0}) {
        out.push_back(static_cast<uint8_t>(colour[k]));
      }
      if (p.keep_alpha) {
        out.push_back(d[c - 1]);
      }
    }
    out.insert(out.end(), static_cast<size_t>(p.row_pad), 0);
  }
  return out;
}

std::string Describe(int channels, const PixelStreamParams& p) {
  return "channels " + std::to_string(channels) + ", keep alpha " + std::to_string(int{p.keep_alpha}) +
         ", row pad " + std::to_string(p.row_pad);
}

// Rows of random pixels whose alpha comes in runs of seven fully opaque, fully clear
// and mixed pixels: runs whose length divides no vector block, so that the routines'
// shortcuts for whole opaque or clear blocks are taken and left at every offset.
// Colours lie on both sides of the background.
Image RandomImage(int width, int height, int channels, uint32_t& state) {
  const auto next = [&state] {
    state ^= state << 13U;
    state ^= state >> 17U;
    state ^= state << 5U;
    return state;
  };
  Image image{width, height, channels, {}};
  image.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height) *
                      static_cast<size_t>(channels));
  for (size_t at = 0; at < image.pixels.size(); at += static_cast<size_t>(channels)) {
    const size_t pixel = at / static_cast<size_t>(channels);
    const size_t run_kind = (pixel / 7 + static_cast<size_t>(width)) % 3;  // opaque, clear, mixed
    for (int k = 0; k < channels; ++k) {
      image.pixels[at + static_cast<size_t>(k)] = static_cast<uint8_t>(next());
    }
    if (channels % 2 == 0 && run_kind < 2) {
      image.pixels[at + static_cast<size_t>(channels) - 1] = run_kind == 0 ? 255 : 0;
    }
  }
  return image;
}

// Every (value, alpha) pair through each colour channel of an RGBA pixel.
Image EveryValueAndAlpha() {
  Image image{256, 256, 4, {}};
  image.pixels.resize(size_t{256} * 256 * 4);
  for (int alpha = 0; alpha < 256; ++alpha) {
    for (int value = 0; value < 256; ++value) {
      uint8_t* p = image.pixels.data() + (static_cast<size_t>(alpha) * 256 + value) * 4;
      p[0] = static_cast<uint8_t>(value);
      p[1] = static_cast<uint8_t>(255 - value);
      p[2] = static_cast<uint8_t>(value * 7);  // a permutation of 0-255
      p[3] = static_cast<uint8_t>(alpha);
    }
  }
  return image;
}

class EmitPixelRowsAllParameters : public testing::TestWithParam<int> {};

// The writer's table-driven routines (vector blocks of 4 to 16 pixels where the
// build has them, the portable routine in the portable build) against the rules'
// model, with the size set aside before writing exactly what is written: every
// combination of the parameters, every row length around the blocks and their
// tails, every (value, alpha) pair flattened, and an image larger than the staging
// buffers, whose pixel sizes (3 and 4 bytes) and rows do not divide them: pixels and
// pads straddle every hand-over, and overlapped writing (a second thread writes each
// full buffer while the next is filled, the buffers reused again and again) hands
// the output the same bytes in the same order.
TEST_P(EmitPixelRowsAllParameters, MatchesTheRules) {
  const int channels = GetParam();
  uint32_t state = 88172645U;
  std::vector<int> widths = {0, 47, 48, 49, 63, 64, 65, 100, 1001};
  for (int width = 1; width <= 40; ++width) {
    widths.push_back(width);
  }
  // Each image in a buffer of its own, so that the sanitizer builds catch a read
  // past its end.
  std::vector<Image> images;
  for (const int width : widths) {
    images.push_back(RandomImage(width, 3, channels, state));
  }
  images.push_back(RandomImage(1201, 613, channels, state));
  if (channels == 4) {
    images.push_back(EveryValueAndAlpha());
  }
  for (const Image& image : images) {
    for (const bool keep_alpha : {false, true}) {
      for (int row_pad = 0; row_pad <= 3; ++row_pad) {
        const PixelStreamParams params{keep_alpha, row_pad};
        SCOPED_TRACE("width " + std::to_string(image.width) + ", " + Describe(channels, params));
        const Bytes expected = ModelPixelRows(image, params);
        EXPECT_EQ(expected, Rows(image, params));
        EXPECT_EQ(expected.size(), PixelRowsSize(params, View(image)));
        if (expected.size() > ByteSink::kOverlappedBuffers * ByteSink::kCapacity) {
          EXPECT_EQ(expected, Rows(image, params, ByteSink::Mode::kOverlapped));
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Channels, EmitPixelRowsAllParameters, testing::Range(1, 5));

TEST(ByteSink, OverlappedBytesAndZerosKeepTheirOrder) {
  const auto emit = [](ByteSink& sink) {
    for (int round = 0; round < 9; ++round) {
      uint8_t* out = sink.Reserve(1);
      *out = static_cast<uint8_t>(round + 1);
      sink.Commit(out + 1);
      sink.PutZeros(ByteSink::kCapacity - 1 + static_cast<size_t>(round) * 977);
    }
  };
  const Bytes direct = Capture(emit);
  EXPECT_EQ(direct, Capture(emit, ByteSink::Mode::kOverlapped));
  size_t at = 0;
  for (int round = 0; round < 9; ++round) {
    ASSERT_LT(at, direct.size());
    EXPECT_EQ(round + 1, direct[at]) << "round " << round;
    at += ByteSink::kCapacity + static_cast<size_t>(round) * 977;
  }
  EXPECT_EQ(at, direct.size());
}

// A write that fails (a full device) is a failure in either mode, with its errno,
// and nothing after it reaches the output.
TEST(ByteSink, WriteFailureIsReportedInBothModes) {
  for (const ByteSink::Mode mode : {ByteSink::Mode::kDirect, ByteSink::Mode::kOverlapped}) {
    CaptureOutput full(ByteSink::kCapacity + 1);
    {
      ByteSink sink(full, mode);
      sink.PutZeros(10 * ByteSink::kCapacity);
      EXPECT_FALSE(sink.Flush());
      EXPECT_TRUE(sink.failed());
      EXPECT_EQ(ENOSPC, sink.error_number());
    }
    EXPECT_EQ(ByteSink::kCapacity, full.bytes_.size());
    EXPECT_EQ(0, full.writes_after_failure_);
  }
}

TEST(EmitPixelRows, ChannelOrderAlphaPlacementAndRowOrder) {
  EXPECT_EQ(FromHex("03 02 01 04"), Rows(OnePixel({1, 2, 3, 4}), {true, 0}));
  EXPECT_EQ(FromHex("03 02 01"), Rows(OnePixel({1, 2, 3}), {false, 0}));
  // An RGB pixel's "alpha" byte is its last channel, as the rules say.
  EXPECT_EQ(FromHex("03 02 01 03"), Rows(OnePixel({1, 2, 3}), {true, 0}));
  const Image column{1, 3, 1, {10, 20, 30}};
  EXPECT_EQ(FromHex("1E 1E 1E 14 14 14 0A 0A 0A"), Rows(column, {false, 0}));
}

TEST(EmitPixelRows, GreyIsRepeatedAndItsAlphaKeptOnlyOnRequest) {
  EXPECT_EQ(FromHex("4D 4D 4D"), Rows(OnePixel({77}), {false, 0}));
  EXPECT_EQ(FromHex("4D 4D 4D"), Rows(OnePixel({77, 9}), {false, 0}));
  EXPECT_EQ(FromHex("4D 4D 4D 09"), Rows(OnePixel({77, 9}), {true, 0}));
}

TEST(EmitPixelRows, FlatteningAgainstMagenta) {
  const PixelStreamParams flatten{false, 0};
  EXPECT_EQ(FromHex("FF 00 FF"), Rows(OnePixel({12, 34, 56, 0}), flatten));
  EXPECT_EQ(FromHex("38 22 0C"), Rows(OnePixel({12, 34, 56, 255}), flatten));
  EXPECT_EQ((Bytes{127, 0, 127}), Rows(OnePixel({0, 0, 0, 128}), flatten));
  EXPECT_EQ((Bytes{167, 78, 159}), Rows(OnePixel({10, 200, 30, 100}), flatten));
  // Truncation toward zero: rounding down would give 254, 0, 254.
  EXPECT_EQ((Bytes{255, 0, 255}), Rows(OnePixel({254, 1, 254, 254}), flatten));
}

TEST(EmitPixelRows, HeightZeroWritesNothingAndWidthZeroOnlyPads) {
  const Image no_rows{4, 0, 3, {}};
  EXPECT_TRUE(Rows(no_rows, {false, 3}).empty());
  const Image empty_rows{0, 3, 3, {}};
  EXPECT_EQ(Bytes(6, 0), Rows(empty_rows, {false, 2}));
  EXPECT_TRUE(Rows(empty_rows, {false, 0}).empty());
}

// A header template and the rows planned and written to a destination file, through
// the writer's one entry.
int WriteFieldsFile(const std::string& path, const PixelStreamParams& params, const DecodedImage& image,
                    const char* field_template, std::span<const int32_t> values,
                    WriteFailure* failure = nullptr) {
  LayoutPlan plan;
  if (!PlanImage(field_template, values, params, image, plan)) {
    return 0;
  }
  DestinationFile output(path.c_str());
  return WritePlan(plan, image, output, failure);
}

// The one header-size function agrees with what EmitFields writes, whatever ends
// the header: the template, an unknown character or the values.
TEST(FieldsSize, CountsWhatEmitFieldsWrites) {
  const std::vector<int32_t> values = {1, 2, 3, 4};
  for (const char* field_template : {"", "1", "  1 2 4", "1 x 4", "4444", "11 4 22 44 44 22 444444"}) {
    SCOPED_TRACE(field_template);
    EXPECT_EQ(Fields(field_template, values).size(), FieldsSize(field_template, values.size()));
  }
  EXPECT_EQ(0U, FieldsSize(nullptr, 3));
}

// A plan's file size is what the write delivers; the buffer output, allocated at the
// size it is told, is filled exactly, and a write that leaves it short or overruns
// it fails and hands nothing over.
TEST(WritePlan, BufferOfThePlannedSizeIsFilledExactly) {
  const Image image{3, 2, 4, Bytes(24, 0x40)};
  const std::array<int32_t, 2> values = {7, 8};
  LayoutPlan plan;
  ASSERT_TRUE(PlanImage("2 4", values, {false, 3}, View(image), plan));
  EXPECT_EQ(6U + 2 * (9 + 3), plan.file_size);
  BufferOutput exact;
  EXPECT_EQ(1, WritePlan(plan, View(image), exact));
  size_t size = 0;
  uint8_t* bytes = exact.Release(size);
  EXPECT_EQ(plan.file_size, size);
  EXPECT_EQ(Bytes({7, 0, 8, 0, 0, 0}), Bytes(bytes, bytes + 6));
  std::free(bytes);
  for (const int64_t error : {1, -1}) {
    LayoutPlan wrong = plan;
    wrong.file_size = static_cast<uint64_t>(static_cast<int64_t>(plan.file_size) + error);
    BufferOutput buffer;
    WriteFailure failure;
    EXPECT_EQ(0, WritePlan(wrong, View(image), buffer, &failure));
    EXPECT_EQ(WriteFailureKind::kWriteFailed, failure.kind);
    EXPECT_EQ(error > 0 ? EIO : EOVERFLOW, failure.error_number);
  }
}

TEST(WritePlanToFile, WritesHeaderThenRowsAndReplacesLongerFile) {
  const test::TempDir dir;
  const std::string path = dir.File("out.bin");
  test::WriteFileBytes(path, Bytes(1000, 0xEE));
  const Image image{2, 1, 3, {1, 2, 3, 4, 5, 6}};
  const std::array<int32_t, 2> values = {0x4241, 7};
  WriteFailure failure{WriteFailureKind::kTooLarge, 99};
  ASSERT_EQ(1, WriteFieldsFile(path, {false, 2}, View(image), "2 1", values, &failure));
  EXPECT_EQ(WriteFailureKind::kNone, failure.kind);
  EXPECT_EQ(FromHex("41 42 07  03 02 01 06 05 04 00 00"), test::ReadFileBytes(path));
  EXPECT_EQ((std::vector<std::string>{"out.bin"}), test::ListDirectory(dir.path().string()));
}

// A large file has its blocks set aside before it is written (for the pixel rows,
// not the header): the file must still end exactly after its last byte, with every
// byte in place across the many hand-overs.
TEST(WritePlanToFile, PreallocatedLargeFileIsExact) {
  const test::TempDir dir;
  const std::string path = dir.File("large.bin");
  const Image image = test::MakeTestImage(1031, 1023, 4);  // more than 2^20 pixels, pad 3
  const PixelStreamParams params{false, 3};
  const std::array<int32_t, 1> values = {0x0102};
  ASSERT_EQ(1, WriteFieldsFile(path, params, View(image), "2", values));
  Bytes expected = FromHex("02 01");
  const Bytes rows = ModelPixelRows(image, params);
  expected.insert(expected.end(), rows.begin(), rows.end());
  EXPECT_EQ(expected, test::ReadFileBytes(path));
}

TEST(WritePlanToFile, HeightZeroWritesTheHeaderOnly) {
  const test::TempDir dir;
  const std::string path = dir.File("header-only.bin");
  const DecodedImage image{.width = 5, .height = 0, .channels = 4, .pixels = nullptr};
  const std::array<int32_t, 3> values = {1, 2, 3};
  ASSERT_EQ(1, WriteFieldsFile(path, {true, 3}, image, "124", values));
  EXPECT_EQ(FromHex("01 02 00 03 00 00 00"), test::ReadFileBytes(path));
}

}  // namespace
}  // namespace tarvelo
