// A decoder that crashes or hangs costs only its own file. The tool's test hooks
// stand in for such a decoder (see tools/tarvelo-convert/test_fault_hooks.h).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "image_encoders.h"
#include "reference_output.h"
#include "temp_dir.h"
#include "tool_runner.h"

namespace tarvelo::test {
namespace {

class Isolation : public testing::Test {
 protected:
  void SetUp() override {
#if !defined(TARVELO_TOOL_TEST_HOOKS)
    GTEST_SKIP() << "tarvelo-convert was built without TARVELO_TOOL_TEST_HOOKS";
#endif
    for (const char* name : {"1.png", "crash-here.png", "2.png", "hang-here.png", "3.png"}) {
      ASSERT_TRUE(WritePng(dir_.File(name), MakeTestImage(5, 4, 3)));
    }
    std::filesystem::create_directory(dir_.File("out"));
  }

  void ExpectConverted(const std::vector<std::string>& stems) const {
    for (const std::string& stem : stems) {
      EXPECT_EQ(ReadFileBytes(dir_.File("out/" + stem + ".tga")),
                LibraryOutput(dir_.File(stem + ".png"), TARVELO_LAYOUT_TGA))
          << stem;
    }
  }

  const TempDir dir_;
  const ToolSettings faults_{
      {"TARVELO_TOOL_TEST_CRASH_MARKER=crash-here", "TARVELO_TOOL_TEST_HANG_MARKER=hang-here"}};
};

TEST_F(Isolation, MarkedFilesConvertNormallyWithoutTheHookVariables) {
  const ToolResult result = RunTool(
      {"--to", "tga", "-o", dir_.File("out"), dir_.File("crash-here.png"), dir_.File("hang-here.png")});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  ExpectConverted({"crash-here", "hang-here"});
}

TEST_F(Isolation, CrashingDecoderFailsItsFileAndTheWorkerIsReplaced) {
  // One worker: the files after the crash need its replacement.
  const ToolResult result = RunTool({"--to", "tga", "-j", "1", "-o", dir_.File("out"), dir_.File("1.png"),
                                     dir_.File("crash-here.png"), dir_.File("2.png"), dir_.File("3.png")},
                                    faults_);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err,
            "tarvelo-convert: " + dir_.File("crash-here.png") + ": decoder crashed (signal 11)\n");
  EXPECT_EQ(result.out, "converted 3 of 4 files, 1 failed\n");
  ExpectConverted({"1", "2", "3"});
  EXPECT_FALSE(FileExists(dir_.File("out/crash-here.tga")));
}

TEST_F(Isolation, HangingDecoderIsKilledAtTheTimeLimit) {
  const auto start = std::chrono::steady_clock::now();
  const ToolResult result =
      RunTool({"--to", "tga", "-j", "2", "--timeout", "1", "-o", dir_.File("out"), dir_.File("hang-here.png"),
               dir_.File("1.png"), dir_.File("crash-here.png"), dir_.File("2.png"), dir_.File("3.png")},
              faults_);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("tarvelo-convert: " + dir_.File("hang-here.png") + ": timed out after 1 s\n"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find(": decoder crashed (signal 11)\n"), std::string::npos) << result.err;
  EXPECT_EQ(result.out, "converted 3 of 5 files, 2 failed\n");
  ExpectConverted({"1", "2", "3"});
  EXPECT_GE(elapsed, std::chrono::seconds(1));
  EXPECT_LT(elapsed, std::chrono::seconds(10));
}

TEST_F(Isolation, SingleFileModeIsIsolatedToo) {
  ToolResult result = RunTool({dir_.File("crash-here.png"), dir_.File("out/x.bmp")}, faults_);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err,
            "tarvelo-convert: " + dir_.File("crash-here.png") + ": decoder crashed (signal 11)\n");
  result = RunTool({"--timeout", "1", dir_.File("hang-here.png"), dir_.File("out/x.bmp")}, faults_);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "tarvelo-convert: " + dir_.File("hang-here.png") + ": timed out after 1 s\n");
  EXPECT_FALSE(FileExists(dir_.File("out/x.bmp")));
}

}  // namespace
}  // namespace tarvelo::test
