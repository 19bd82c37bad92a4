// Special files as sources and destinations: nothing may wait for a writer or a
// reader that never comes. A pipe, a device or a socket as the source is refused at
// once as "source is not a regular file"; a pipe with no reader as the destination
// fails at once. Each call runs in a child process with a watchdog, so that a call
// that blocks fails the test instead of hanging the suite.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "TarveloConvert.h"
#include "TarveloImageTGA.h"
#include "child_process.h"
#include "expected_layouts.h"
#include "file_bytes.h"
#include "image_encoders.h"
#include "temp_dir.h"
#include "test_images.h"
#include "wide_path.h"

namespace tarvelo::test {
namespace {

constexpr const char* kNotRegular = "source is not a regular file";

TEST(SpecialFileTest, PipeOrDeviceSourceIsRefusedAtOnce) {
  TempDir dir;
  const std::string fifo = dir.File("pipe.png");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string destination = dir.File("out.tga");
  for (const std::string& source : {fifo, std::string("/dev/zero")}) {
    const int result = RunInChild([&] {
      char detail[256] = "";
      if (TarveloConvert(source.c_str(), destination.c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail) !=
              TARVELO_STATUS_SOURCE_UNREADABLE ||
          std::strcmp(detail, kNotRegular) != 0) {
        return 1;
      }
      TarveloImageInfo info{};
      TarveloSource file{};
      file.kind = TARVELO_SOURCE_FILE;
      file.path = source.c_str();
      TarveloResult read;
      if (TarveloReadInfo(&file, &info, &read) != TARVELO_STATUS_SOURCE_UNREADABLE ||
          std::strcmp(read.detail, kNotRegular) != 0) {
        return 2;
      }
      return TGA2BMP(WidePath(source).c_str(), WidePath(destination).c_str()) == 999 ? 0 : 3;
    });
    EXPECT_EQ(result, 0) << source << ": -1 means the call blocked until the watchdog ended it";
  }
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"pipe.png"});
}

TEST(SpecialFileTest, PipeDestinationWithNoReaderFailsAtOnce) {
  TempDir dir;
  const std::string source = dir.File("in.png");
  ASSERT_TRUE(WritePng(source, MakeTestImage(6, 4, 3)));
  const std::string fifo = dir.File("out.tga");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int result = RunInChild([&] {
    char detail[256] = "";
    if (TarveloConvert(source.c_str(), fifo.c_str(), TARVELO_LAYOUT_TGA, detail, sizeof detail) !=
        TARVELO_STATUS_DESTINATION_UNOPENABLE) {
      return 1;
    }
    if (std::strcmp(detail, "destination is a pipe with no reader") != 0) {
      return 2;
    }
    return BMP2TGA(WidePath(source).c_str(), WidePath(fifo).c_str()) == 999 ? 0 : 3;
  });
  EXPECT_EQ(result, 0) << "-1 means the call blocked until the watchdog ended it";
  EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{"in.png", "out.tga"}));
}

// With a reader, a pipe is written as before.
TEST(SpecialFileTest, PipeDestinationWithAReaderIsWritten) {
  TempDir dir;
  const Image picture = MakeTestImage(6, 4, 3);
  const std::string source = dir.File("in.png");
  ASSERT_TRUE(WritePng(source, picture));
  const std::string fifo = dir.File("out.tga");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  // The file is far smaller than the pipe's buffer: written whole before it is read.
  const int result = RunInChild([&] {
    return TarveloConvert(source.c_str(), fifo.c_str(), TARVELO_LAYOUT_TGA, nullptr, 0) ==
                   TARVELO_STATUS_CONVERTED
               ? 0
               : 1;
  });
  EXPECT_EQ(result, 0);
  Bytes received(4096);
  const ssize_t got = read(reader, received.data(), received.size());
  close(reader);
  ASSERT_GT(got, 0);
  received.resize(static_cast<size_t>(got));
  EXPECT_EQ(received, ExpectedTgaFile(picture));
}

}  // namespace
}  // namespace tarvelo::test
