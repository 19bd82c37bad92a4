// tarvelo-convert --to LAYOUT -o DIR SOURCE...: outputs, failures, duplicate stems,
// summary and progress.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>

#include "image_encoders.h"
#include "reference_output.h"
#include "temp_dir.h"
#include "tool_runner.h"

namespace tarvelo::test {
namespace {

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

class Batch : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WritePng(dir_.File("a.png"), MakeTestImage(7, 5, 4)));
    ASSERT_TRUE(WriteJpeg(dir_.File("b.jpg"), MakeTestImage(6, 4, 3), 85));
    ASSERT_TRUE(WriteBmp(dir_.File("c.bmp"), MakeTestImage(5, 3, 3)));
    ASSERT_TRUE(WriteTga(dir_.File("d.tga"), MakeTestImage(3, 3, 2), true));
    WriteFileBytes(dir_.File("junk.gif"), FromHex("47 49 46 38 39 61 01"));
  }

  std::string MakeOutputDirectory(const std::string& name) const {
    std::filesystem::create_directory(dir_.File(name));
    return dir_.File(name);
  }

  const TempDir dir_;
};

TEST_F(Batch, MixedSourcesGiveTheSameFilesWithOneOrTwoJobs) {
  const std::pair<const char*, const char*> good[] = {
      {"a.png", "a.bmp"}, {"b.jpg", "b.bmp"}, {"c.bmp", "c.bmp"}, {"d.tga", "d.bmp"}};
  for (const char* jobs : {"1", "2"}) {
    SCOPED_TRACE(jobs);
    const std::string out = MakeOutputDirectory(std::string("out-") + jobs);
    const ToolResult result =
        RunTool({"--to", "bmp", "-j", jobs, "-o", out, dir_.File("a.png"), dir_.File("missing.png"),
                 dir_.File("b.jpg"), dir_.File("junk.gif"), dir_.File("c.bmp"), dir_.File("d.tga")});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "converted 4 of 6 files, 2 failed\n");
    const std::vector<std::string> failures = SortedLines(result.err);
    ASSERT_EQ(failures.size(), 2U) << result.err;
    EXPECT_EQ(failures[0].rfind("tarvelo-convert: " + dir_.File("junk.gif") + ": source unreadable: ", 0),
              0U);
    EXPECT_EQ(failures[1], "tarvelo-convert: " + dir_.File("missing.png") +
                               ": source unreadable: No such file or directory");
    EXPECT_EQ(ListDirectory(out), (std::vector<std::string>{"a.bmp", "b.bmp", "c.bmp", "d.bmp"}));
    for (const auto& [source, output] : good) {
      EXPECT_EQ(ReadFileBytes((std::filesystem::path(out) / output).string()),
                LibraryOutput(dir_.File(source), TARVELO_LAYOUT_BMP))
          << source;
    }
  }
}

TEST_F(Batch, SourcesWithTheSameStemStopTheBatchBeforeAnythingIsWritten) {
  const std::string out = MakeOutputDirectory("out");
  ASSERT_TRUE(WriteJpeg(dir_.File("a.jpg"), MakeTestImage(2, 2, 3), 85));
  const ToolResult result =
      RunTool({"--to", "tga", "-o", out, dir_.File("b.jpg"), dir_.File("a.png"), dir_.File("a.jpg")});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "tarvelo-convert: " + dir_.File("a.png") + " and " + dir_.File("a.jpg") +
                            " would both write " + out +
                            "/a.tga: nothing was converted; keep the sources' "
                            "directories with -r or --parents, or convert them apart\n");
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(ListDirectory(out).empty());
  // Every collision is named, a dry run's too; names that differ only in case write
  // one file where the volume ignores case.
  const ToolResult every = RunTool({"-n", "--to", "tga", "-o", out, dir_.File("a.png"), dir_.File("a.jpg"),
                                    dir_.File("b.jpg"), dir_.File("B.jpg")});
  EXPECT_EQ(every.exit_code, 1);
  const std::string advice =
      ": nothing was converted; keep the sources' directories with -r or --parents, "
      "or convert them apart\n";
  EXPECT_EQ(every.err, "tarvelo-convert: " + dir_.File("a.png") + " and " + dir_.File("a.jpg") +
                           " would both write " + out + "/a.tga" + advice +
                           "tarvelo-convert: " + dir_.File("b.jpg") + " and " + dir_.File("B.jpg") +
                           " would both write " + out + "/B.tga" + advice);
  EXPECT_TRUE(ListDirectory(out).empty());
}

TEST_F(Batch, AllConvertedExitsZeroWithNothingOnAPipedStderr) {
  const std::string out = MakeOutputDirectory("out");
  // More jobs than files, and an -o with a trailing slash.
  const ToolResult result =
      RunTool({"-j", "8", "--to", "TGA", "-o", out + "/", dir_.File("a.png"), dir_.File("c.bmp")});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "converted 2 of 2 files, 0 failed\n");
  EXPECT_EQ(ReadFileBytes(out + "/c.tga"), LibraryOutput(dir_.File("c.bmp"), TARVELO_LAYOUT_TGA));
}

// The outputs' extension follows --to in whatever form the library took it.
TEST_F(Batch, OutputExtensionIsTheLayoutsInLowerCase) {
  for (const char* name : {".BMP", "out.Bmp"}) {
    SCOPED_TRACE(name);
    const std::string out = MakeOutputDirectory(std::string("out") + name);
    const ToolResult result = RunTool({"--to", name, "-o", out, dir_.File("a.png")});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(ListDirectory(out), std::vector<std::string>{"a.bmp"});
    EXPECT_EQ(ReadFileBytes(out + "/a.bmp"), LibraryOutput(dir_.File("a.png"), TARVELO_LAYOUT_BMP));
  }
}

TEST_F(Batch, ProgressGoesToAStderrThatIsATerminal) {
  const std::string out = MakeOutputDirectory("out");
  ToolSettings on_terminal;
  on_terminal.stderr_on_terminal = true;
  const ToolResult result = RunTool(
      {"--to", "bmp", "-o", out, dir_.File("a.png"), dir_.File("junk.gif"), dir_.File("d.tga")}, on_terminal);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "converted 2 of 3 files, 1 failed\n");
  // The last line: nothing left, at the rate the run had.
  EXPECT_TRUE(std::regex_search(result.err,
                                std::regex("3 of 3 files done, 1 failed, [0-9]+\\.[0-9] files/s, 0:00 left")))
      << result.err;
  EXPECT_NE(result.err.find("tarvelo-convert: " + dir_.File("junk.gif") + ": source unreadable"),
            std::string::npos);
}

// Redraws are counted against the run's own length, so a slow machine only allows
// more of them: at most about ten a second, whatever the number of files.
TEST_F(Batch, ProgressRedrawsAtMostAboutTenTimesASecond) {
  const std::string out = MakeOutputDirectory("out");
  std::vector<std::string> arguments = {"--to", "tga", "-j", "2", "-o", out};
  for (int i = 0; i < 120; ++i) {
    arguments.push_back(dir_.File("copy" + std::to_string(i) + ".png"));
    std::filesystem::copy_file(dir_.File("a.png"), arguments.back());
  }
  ToolSettings on_terminal;
  on_terminal.stderr_on_terminal = true;
  const auto start = std::chrono::steady_clock::now();
  const ToolResult result = RunTool(arguments, on_terminal);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(result.exit_code, 0) << result.err;
  std::size_t redraws = 0;
  for (std::size_t at = result.err.find("files done"); at != std::string::npos;
       at = result.err.find("files done", at + 1)) {
    ++redraws;
  }
  EXPECT_GE(redraws, 1U);
  EXPECT_LE(static_cast<double>(redraws), 2 + 10 * seconds) << redraws << " redraws in " << seconds << " s";
  EXPECT_NE(result.err.find("120 of 120 files done, 0 failed"), std::string::npos);
}

}  // namespace
}  // namespace tarvelo::test
