// Usage errors exit with 2 and one line; --help and --version exit with 0.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include "TarveloVersion.h"
#include "file_bytes.h"
#include "image_encoders.h"
#include "temp_dir.h"
#include "tool_runner.h"

namespace tarvelo::test {
namespace {

TEST(Usage, ErrorsExitWithTwoAndConvertNothing) {
  const TempDir dir;
  const std::string source = dir.File("f.png");
  ASSERT_TRUE(WritePng(source, MakeTestImage(4, 4, 3)));
  const std::string out = dir.File("out");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {source},
      {source, out + ".tga", out + "2.tga"},            // three names, no -o
      {source, out + ".png"},                           // layout not known from the name
      {source, out + ".tga.gz"},                        // only the last extension counts
      {"--to", "gif", source, out + ".tga"},            // unknown layout
      {"-o", dir.path().string(), source},              // batch without --to
      {"--to", "tga", "-o", dir.File("none"), source},  // output directory missing
      {"--to", "tga", "-o", source, source},            // output "directory" is a file
      {"-j", "0", source, out + ".tga"},
      {"--jobs", "many", source, out + ".tga"},
      {"--timeout", "0", source, out + ".tga"},
      {"--frobnicate", source, out + ".tga"},
      {source, "-"},  // standard output without --to
      {"-q", "-v", source, out + ".tga"},
      {"-0", source, out + ".tga"},            // -0 without a list
      {"--files-from", source, out + ".tga"},  // a list without -o
      {"--to", "tga", "-o", dir.path().string(), "--files-from", dir.File("no-list")},
      {"--to", "tga", "-o", dir.path().string(), "-", source},  // stdin in a batch
  };
  for (const auto& arguments : cases) {
    SCOPED_TRACE(testing::PrintToString(arguments));
    const ToolResult result = RunTool(arguments);
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("tarvelo-convert: ", 0), 0U) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
  }
  EXPECT_EQ(ListDirectory(dir.path().string()), std::vector<std::string>{"f.png"});
}

TEST(Usage, ErrorsNameTheProblem) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--bogus"}, "tarvelo-convert: unknown option --bogus (see --help)\n"},
      {{"a.png", "--bogus", "b.tga"}, "tarvelo-convert: unknown option --bogus (see --help)\n"},
      {{}, "tarvelo-convert: no SOURCE given (see --help)\n"},
      {{"a.png", "-"},
       "tarvelo-convert: writing to standard output needs --to tga or --to bmp (see --help)\n"},
  };
  for (const auto& [arguments, message] : cases) {
    EXPECT_EQ(RunTool(arguments).err, message);
  }
  // "-o FILE" as compilers take it: said what -o is, whether a layout is named or not.
  const TempDir dir;
  const std::string source = dir.File("f.png");
  ASSERT_TRUE(WritePng(source, MakeTestImage(2, 2, 3)));
  const std::string habit =
      "tarvelo-convert: -o names an output directory; to convert one file give SOURCE DEST (see --help)\n";
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{source, "-o", dir.File("out.tga")},
        std::vector<std::string>{"--to", "bmp", "-o", dir.File("out.BMP"), source}}) {
    const ToolResult result = RunTool(arguments);
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err, habit);
  }
  // With several sources, or a name that is no output's, -o is taken as meant.
  for (const char* name : {"out.tga", "out.png"}) {
    EXPECT_EQ(RunTool({"--to", "tga", "-o", dir.File(name), source, source}).err,
              "tarvelo-convert: -o " + dir.File(name) + ": no such directory; create it (mkdir -p " +
                  dir.File(name) + "), or let -r or --parents create it (see --help)\n");
  }
  EXPECT_EQ(ListDirectory(dir.path().string()), std::vector<std::string>{"f.png"});
  // Two plain operands skip the option parser; "--" makes them go through it. Both
  // must say the same.
  const std::string layout_unknown =
      "tarvelo-convert: cannot tell the layout from 'b.png': name it .tga or .bmp, or use --to tga|bmp (see "
      "--help)\n";
  EXPECT_EQ(RunTool({"a.png", "b.png"}).err, layout_unknown);
  EXPECT_EQ(RunTool({"--", "a.png", "b.png"}).err, layout_unknown);
}

TEST(Usage, DoubleDashLetsASourceBeginWithADash) {
  const TempDir dir;
  ASSERT_TRUE(WritePng(dir.File("-odd.png"), MakeTestImage(3, 2, 3)));
  const std::string cwd = std::filesystem::current_path().string();
  std::filesystem::current_path(dir.path());
  const ToolResult single = RunTool({"--", "-odd.png", "odd.tga"});
  std::filesystem::create_directory("out");
  const ToolResult batch = RunTool({"--to", "bmp", "-o", "out", "--", "-odd.png"});
  std::filesystem::current_path(cwd);
  EXPECT_EQ(single.exit_code, 0) << single.err;
  EXPECT_EQ(batch.exit_code, 0) << batch.err;
  EXPECT_TRUE(FileExists(dir.File("odd.tga")));
  EXPECT_TRUE(FileExists(dir.File("out/-odd.bmp")));
}

TEST(Usage, OptionsThatDoNothingForTheFilesGivenAreWarnedAbout) {
  const TempDir dir;
  const std::string source = dir.File("f.png");
  ASSERT_TRUE(WritePng(source, MakeTestImage(4, 4, 3)));
  ToolResult result = RunTool({"-j", "4", source, dir.File("f.tga")});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "tarvelo-convert: warning: -j has no effect on a single conversion (SOURCE DEST)\n");
  EXPECT_TRUE(FileExists(dir.File("f.tga")));

  // -o turns "SOURCE DEST" into two sources: said, then done as asked.
  std::filesystem::create_directory(dir.File("out"));
  result = RunTool({"--to", "tga", "-o", dir.File("out"), source, dir.File("g.tga")});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(
      result.err.rfind("tarvelo-convert: warning: -o makes every name a SOURCE: " + dir.File("g.tga"), 0), 0U)
      << result.err;
}

TEST(Usage, HelpOrVersionThatCannotBeWrittenIsAnError) {
  ToolSettings settings;
  settings.stdout_path = "/dev/full";
  for (const char* flag : {"--help", "--version"}) {
    const ToolResult result = RunTool({flag}, settings);
    EXPECT_EQ(result.exit_code, 1) << flag;
    EXPECT_EQ(result.err, "tarvelo-convert: cannot write to standard output: No space left on device\n");
  }
}

TEST(Usage, HelpDescribesModesOptionsLimitsAndExitCodes) {
  for (const char* flag : {"--help", "-h"}) {
    const ToolResult result = RunTool({flag});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, "");
    for (const char* expected : {"SOURCE DEST",
                                 "-o DIR SOURCE...",
                                 "--to tga|bmp",
                                 "-j,--jobs",
                                 "--timeout SECONDS",
                                 "120 s",
                                 "would write one output",
                                 "Streams: standard output carries the image",
                                 "decoder crashed",
                                 "timed out",
                                 "magenta",
                                 "Exit status: 0",
                                 "2 usage error",
                                 "--files-from FILE",
                                 "-0,--null",
                                 "--skip-existing",
                                 "-q,--quiet",
                                 "-v,--verbose",
                                 "short stream",
                                 "130 or 143",
                                 "finish for up to 5 s",
                                 "none for SOURCE DEST",
                                 "SIGPIPE"}) {
      EXPECT_NE(result.out.find(expected), std::string::npos) << "missing: " << expected;
    }
  }
}

TEST(Usage, VersionIsTheProjectVersion) {
  const ToolResult result = RunTool({"--version"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "tarvelo-convert " TARVELO_PROJECT_VERSION "\n");
  EXPECT_EQ(result.err, "");
  // The tool shows the version the library reports about itself.
  EXPECT_EQ(result.out, std::string("tarvelo-convert ") + TarveloGetVersionText() + "\n");
}

}  // namespace
}  // namespace tarvelo::test
