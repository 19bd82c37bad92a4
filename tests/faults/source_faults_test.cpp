// Faults at the source while it is converted: another process or thread rewrites it.
// The conversion reads the file once into memory and the guard and the decoder both
// read that copy, so each conversion either converts one whole version of the file
// or refuses it; it never decodes bytes the guard did not check.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "TarveloConvert.h"
#include "file_bytes.h"
#include "image_encoders.h"
#include "temp_dir.h"
#include "test_images.h"

namespace tarvelo::test {
namespace {

// An RLE TGA whose middle byte an attacker toggles between its own value and 0xFF: a
// packet header that runs past the image, which the guard refuses and on which the
// decoder, unchecked, would read past its data.
TEST(SourceRewrittenTest, EachConversionSeesOneWholeVersion) {
  TempDir dir;
  const std::string first = dir.File("first.tga");
  ASSERT_TRUE(WriteTga(first, MakeTestImage(64, 48, 3), true));
  const Bytes first_bytes = ReadFileBytes(first);
  const size_t toggled = 18 + (first_bytes.size() - 18) / 2;
  Bytes second_bytes = first_bytes;
  second_bytes[toggled] = 0xFF;
  const std::string second = dir.File("second.tga");
  WriteFileBytes(second, second_bytes);

  char detail[256];
  const std::string first_out = dir.File("first.out");
  const std::string second_out = dir.File("second.out");
  ASSERT_EQ(TarveloConvert(first.c_str(), first_out.c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail),
            TARVELO_STATUS_CONVERTED);
  const bool second_converts = TarveloConvert(second.c_str(), second_out.c_str(), TARVELO_LAYOUT_TGA, detail,
                                              sizeof detail) == TARVELO_STATUS_CONVERTED;
  const Bytes first_converted = ReadFileBytes(first_out);
  const Bytes second_converted = second_converts ? ReadFileBytes(second_out) : Bytes{};

  const std::string source = dir.File("source.tga");
  WriteFileBytes(source, first_bytes);
  std::atomic<bool> stop{false};
  std::thread attacker([&] {
    const int descriptor = open(source.c_str(), O_WRONLY);
    for (bool flip = false; !stop.load(); flip = !flip) {
      const uint8_t byte = flip ? second_bytes[toggled] : first_bytes[toggled];
      if (pwrite(descriptor, &byte, 1, static_cast<off_t>(toggled)) != 1) {
        break;
      }
    }
    close(descriptor);
  });
  const std::string destination = dir.File("out.tga");
  int converted = 0;
  for (int round = 0; round < 300; ++round) {
    const TarveloStatus status =
        TarveloConvert(source.c_str(), destination.c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail);
    if (status == TARVELO_STATUS_CONVERTED) {
      ++converted;
      const Bytes written = ReadFileBytes(destination);
      EXPECT_TRUE(written == first_converted || (second_converts && written == second_converted))
          << "round " << round << ": a conversion mixed two versions of the source";
    } else {
      EXPECT_EQ(status, TARVELO_STATUS_SOURCE_UNREADABLE) << detail;
    }
  }
  stop = true;
  attacker.join();
  EXPECT_GT(converted, 0);
}

TEST(SourceKindTest, OnlyRegularFilesAreConverted) {
  TempDir dir;
  const std::string fifo = dir.File("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  char detail[256];
  const std::string destination = dir.File("out.tga");
  // Opening a pipe for reading would wait for a writer: open it ourselves first.
  const int keep_open = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(keep_open, 0);
  EXPECT_EQ(TarveloConvert(fifo.c_str(), destination.c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail),
            TARVELO_STATUS_SOURCE_UNREADABLE);
  EXPECT_STREQ(detail, "source is not a regular file");
  close(keep_open);
  EXPECT_EQ(
      TarveloConvert(dir.path().c_str(), destination.c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail),
      TARVELO_STATUS_SOURCE_UNREADABLE);
  EXPECT_STREQ(detail, "Is a directory");
  EXPECT_FALSE(std::filesystem::exists(destination));
}

}  // namespace
}  // namespace tarvelo::test
