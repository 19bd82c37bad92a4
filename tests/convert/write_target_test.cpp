// The pipeline's last step: one plan written to each kind of target gives the same
// bytes, and an image the layout refuses reaches no target at all.
#include "convert/write_target.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "expected_layouts.h"
#include "file_bytes.h"
#include "temp_dir.h"
#include "test_images.h"

namespace tarvelo {
namespace {

using test::Bytes;

DecodedImage View(const test::Image& image) {
  return {.width = image.width,
          .height = image.height,
          .channels = image.channels,
          .pixels = image.pixels.data()};
}

int Collect(void* context, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  static_cast<Bytes*>(context)->insert(static_cast<Bytes*>(context)->end(), bytes, bytes + size);
  return 1;
}

TEST(WriteToTarget, FileCallbackAndBufferGetTheSameBytes) {
  const test::TempDir dir;
  for (const LayoutEntry& layout : Layouts()) {
    for (const int channels : {1, 2, 3, 4}) {
      SCOPED_TRACE(std::string(layout.name) + ", " + std::to_string(channels) + " channels");
      const test::Image image = test::MakeTestImage(7, 3, channels);
      const Bytes expected =
          layout.layout == Layout::kTga ? test::ExpectedTgaFile(image) : test::ExpectedBmpFile(image);
      WriteFailure failure;

      const std::string path = dir.File(std::string("out") + layout.extension);
      ASSERT_TRUE(WriteToTarget(View(image), layout, {.path = path.c_str()}, {}, failure));
      EXPECT_EQ(expected, test::ReadFileBytes(path));

      Bytes collected;
      ASSERT_TRUE(
          WriteToTarget(View(image), layout, {.function = Collect, .context = &collected}, {}, failure));
      EXPECT_EQ(expected, collected);

      void* buffer = nullptr;
      size_t size = 0;
      ASSERT_TRUE(WriteToTarget(View(image), layout, {.buffer = &buffer, .buffer_size = &size}, {}, failure));
      const auto* bytes = static_cast<const uint8_t*>(buffer);
      EXPECT_EQ(expected, Bytes(bytes, bytes + size));
      std::free(buffer);
    }
  }
}

int Refuse(void* context, const void* /*data*/, size_t /*size*/) {
  ++*static_cast<int*>(context);
  return 1;
}

// The sizes are refused from the plan alone: the pixels are never read.
TEST(WriteToTarget, ImageTheLayoutRefusesReachesNoTarget) {
  const test::TempDir dir;
  uint8_t stand_in = 0;
  const DecodedImage tga_too_wide{.width = 65536, .height = 1, .channels = 3, .pixels = &stand_in};
  const DecodedImage bmp_too_big{.width = 4, .height = 357913937, .channels = 3, .pixels = &stand_in};
  for (const LayoutEntry& layout : Layouts()) {
    SCOPED_TRACE(layout.name);
    const DecodedImage& image = layout.layout == Layout::kTga ? tga_too_wide : bmp_too_big;
    WriteFailure failure;
    const std::string path = dir.File(std::string("big") + layout.extension);
    EXPECT_FALSE(WriteToTarget(image, layout, {.path = path.c_str()}, {}, failure));
    EXPECT_EQ(WriteFailureKind::kTooLarge, failure.kind);

    int calls = 0;
    EXPECT_FALSE(WriteToTarget(image, layout, {.function = Refuse, .context = &calls}, {}, failure));
    EXPECT_EQ(WriteFailureKind::kTooLarge, failure.kind);
    EXPECT_EQ(0, calls);

    void* buffer = &stand_in;
    size_t size = 99;
    EXPECT_FALSE(WriteToTarget(image, layout, {.buffer = &buffer, .buffer_size = &size}, {}, failure));
    EXPECT_EQ(WriteFailureKind::kTooLarge, failure.kind);
    EXPECT_EQ(&stand_in, buffer);  // the caller's pointers are left alone
    EXPECT_EQ(99U, size);
  }
  EXPECT_TRUE(test::ListDirectory(dir.path().string()).empty());
}

// A callback that stops the write ends it there: nothing more reaches it.
TEST(WriteToTarget, CallbackRefusalEndsTheWrite) {
  const test::Image image = test::MakeTestImage(300, 300, 3);
  int calls = 0;
  const auto stop = [](void* context, const void* /*data*/, size_t /*size*/) {
    ++*static_cast<int*>(context);
    return 0;
  };
  WriteFailure failure;
  EXPECT_FALSE(
      WriteToTarget(View(image), LayoutOf(Layout::kBmp), {.function = stop, .context = &calls}, {}, failure));
  EXPECT_EQ(WriteFailureKind::kWriteFailed, failure.kind);
  EXPECT_EQ(kOutputRefused, failure.error_number);
  EXPECT_EQ(1, calls);
}

}  // namespace
}  // namespace tarvelo
