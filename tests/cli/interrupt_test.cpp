// An interrupted batch (SIGINT, SIGTERM) lets the files being converted finish
// instead of killing their workers where they may be putting the output in place,
// and leaves only complete outputs, no temporary file.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>

#include "image_encoders.h"
#include "reference_output.h"
#include "temp_dir.h"
#include "tool_runner.h"

namespace tarvelo::test {
namespace {

std::string Summary(std::size_t converted, std::size_t total, const char* signal_name) {
  return "converted " + std::to_string(converted) + " of " + std::to_string(total) + " files, 0 failed, " +
         std::to_string(total - converted) + " not done (interrupted by " + signal_name + ")\n";
}

// The slow file sleeps two seconds in its worker before it converts; the signal
// comes as soon as the other worker's first output exists, well within them.
TEST(Interrupt, FilesBeingConvertedFinishAndCount) {
  const TempDir dir;
  std::vector<std::string> arguments = {"--to", "tga", "-j", "2", "-o", dir.File("out")};
  for (const char* stem : {"slow-here", "a", "b", "c", "d", "e"}) {
    ASSERT_TRUE(WritePng(dir.File(std::string(stem) + ".png"), MakeTestImage(6, 5, 3)));
    arguments.push_back(dir.File(std::string(stem) + ".png"));
  }
  std::filesystem::create_directory(dir.File("out"));
  ToolSettings settings{.extra_environment = {"TARVELO_TOOL_TEST_SLOW_MARKER=slow-here"}, .hooked = true};
  settings.signal_when_exists = dir.File("out/a.tga");
  settings.signal_number = SIGINT;
  const ToolResult result = RunTool(arguments, settings);
  EXPECT_EQ(result.exit_code, 130);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(ReadFileBytes(dir.File("out/slow-here.tga")),
            LibraryOutput(dir.File("slow-here.png"), TARVELO_LAYOUT_TGA));
  const std::vector<std::string> written = ListDirectory(dir.File("out"));
  EXPECT_EQ(result.out, Summary(written.size(), 6, "SIGINT"));
}

// One worker with a long row of slow files before it: an interrupt ends its work
// after the file being converted, not after the grace (which would let two more
// slow files finish).
TEST(Interrupt, AWorkerStopsAfterTheFileBeingConverted) {
  const TempDir dir;
  std::vector<std::string> arguments = {"--to", "tga", "-j", "1", "-o", dir.File("out")};
  constexpr int kFiles = 48;
  for (int i = 0; i < kFiles; ++i) {
    const std::string stem = (i < 10 ? "f0" : "f") + std::to_string(i) + (i > 0 ? "-slow-here" : "");
    ASSERT_TRUE(WritePng(dir.File(stem + ".png"), MakeTestImage(6, 5, 3)));
    arguments.push_back(dir.File(stem + ".png"));
  }
  std::filesystem::create_directory(dir.File("out"));
  ToolSettings settings{.extra_environment = {"TARVELO_TOOL_TEST_SLOW_MARKER=slow-here"}, .hooked = true};
  settings.signal_when_exists = dir.File("out/f00.tga");
  settings.signal_number = SIGINT;
  const ToolResult result = RunTool(arguments, settings);
  EXPECT_EQ(result.exit_code, 130);
  const std::vector<std::string> written = ListDirectory(dir.File("out"));
  EXPECT_LE(written.size(), 2U);  // the first file and the slow one it was on
  EXPECT_EQ(result.out, Summary(written.size(), kFiles, "SIGINT"));
  for (const std::string& name : written) {
    const std::string stem = name.substr(0, name.size() - 4);
    EXPECT_EQ(ReadFileBytes(dir.File("out/" + name)),
              LibraryOutput(dir.File(stem + ".png"), TARVELO_LAYOUT_TGA));
  }
}

// Many interrupts at different points of a two-worker batch: whatever is left in
// the output directory is a complete output that the summary counts, and nothing
// else (no ".NAME.tga.tarvelo-*.tmp").
TEST(Interrupt, RepeatedInterruptsLeaveOnlyCompleteOutputs) {
  constexpr int kFiles = 16;
  constexpr int kRounds = 12;
  const TempDir dir;
  std::map<std::string, Bytes> expected;  // output name -> its bytes
  std::vector<std::string> sources;
  for (int i = 0; i < kFiles; ++i) {
    std::string stem = "f";
    stem += std::to_string(i);
    sources.push_back(dir.File(stem + ".png"));
    ASSERT_TRUE(WritePng(sources.back(), MakeTestImage(320 + i, 240, 4)));
    expected[stem + ".tga"] = LibraryOutput(sources.back(), TARVELO_LAYOUT_TGA);
  }
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    std::string out = "out";
    out = dir.File(out + std::to_string(round));
    std::filesystem::create_directory(out);
    std::vector<std::string> arguments = {"--to", "tga", "-j", "2", "-o", out};
    arguments.insert(arguments.end(), sources.begin(), sources.end());
    const bool terminate = round % 2 == 1;
    ToolSettings settings;
    settings.signal_number = terminate ? SIGTERM : SIGINT;
    settings.signal_when_exists = out + "/f";
    settings.signal_when_exists += std::to_string(round % (kFiles / 2)) + ".tga";
    ToolResult result;
    bool signalled = true;
    try {
      result = RunTool(arguments, settings);
    } catch (const std::runtime_error&) {
      signalled = false;  // the batch was done before the signal: still check what is there
    }
    const std::vector<std::string> left = ListDirectory(out);
    for (const std::string& name : left) {
      ASSERT_TRUE(expected.count(name) == 1) << "stray file " << name;
      EXPECT_EQ(ReadFileBytes(out + "/" + name), expected[name]) << name;
    }
    if (signalled && result.exit_code == 0) {
      // The signal came after the last file was done: a finished batch, told as one.
      EXPECT_EQ(left.size(), static_cast<std::size_t>(kFiles));
      EXPECT_EQ(result.out, "converted " + std::to_string(kFiles) + " of " + std::to_string(kFiles) +
                                " files, 0 failed\n");
    } else if (signalled) {
      EXPECT_EQ(result.exit_code, terminate ? 143 : 130);
      EXPECT_EQ(result.out, Summary(left.size(), kFiles, terminate ? "SIGTERM" : "SIGINT"));
    }
  }
}

}  // namespace
}  // namespace tarvelo::test
