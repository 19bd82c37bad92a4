// tarvelo-convert SOURCE DEST: layout choice, output identical to the library's,
// and one line per failure.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "image_encoders.h"
#include "reference_output.h"
#include "temp_dir.h"
#include "tool_runner.h"

namespace tarvelo::test {
namespace {

TEST(SingleFile, LayoutFollowsTheDestinationExtensionInAnyCase) {
  const TempDir dir;
  const std::string source = dir.File("f.png");
  ASSERT_TRUE(WritePng(source, MakeTestImage(7, 5, 4)));
  const std::pair<const char*, TarveloLayout> cases[] = {
      {"out.tga", TARVELO_LAYOUT_TGA}, {"OUT.Tga", TARVELO_LAYOUT_TGA}, {"out.BMP", TARVELO_LAYOUT_BMP}};
  for (const auto& [name, layout] : cases) {
    SCOPED_TRACE(name);
    const ToolResult result = RunTool({source, dir.File(name)});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(ReadFileBytes(dir.File(name)), LibraryOutput(source, layout));
  }
}

// The tool asks the library what a name means: DEST converts exactly when
// TarveloLayoutFromName knows a layout for it, and into that layout.
TEST(SingleFile, DestinationNamesMeanWhatTheLibrarySays) {
  const TempDir dir;
  const std::string source = dir.File("f.png");
  ASSERT_TRUE(WritePng(source, MakeTestImage(6, 5, 4)));
  for (const char* name :
       {".tga", ".BMP", "x.tGa", "out.bmp.tga", "out.tga.gz", "out.png", "tga", "out.tgax", "out."}) {
    SCOPED_TRACE(name);
    const std::string destination = dir.File(name);
    TarveloLayout layout = TARVELO_LAYOUT_TGA;
    const bool known = TarveloLayoutFromName(destination.c_str(), &layout) == TARVELO_STATUS_CONVERTED;
    const ToolResult result = RunTool({source, destination});
    if (known) {
      EXPECT_EQ(result.exit_code, 0) << result.err;
      EXPECT_EQ(ReadFileBytes(destination), LibraryOutput(source, layout));
    } else {
      EXPECT_EQ(result.exit_code, 2);
      EXPECT_NE(result.err.find("cannot tell the layout from"), std::string::npos) << result.err;
      EXPECT_FALSE(FileExists(destination));
    }
  }
  // The case that once differed: a destination called just ".tga".
  TarveloLayout dot_tga = TARVELO_LAYOUT_BMP;
  ASSERT_EQ(TarveloLayoutFromName(".tga", &dot_tga), TARVELO_STATUS_CONVERTED);
  EXPECT_EQ(dot_tga, TARVELO_LAYOUT_TGA);
}

// --to takes a layout's name, or any name the library takes for a file of it.
TEST(SingleFile, ToTakesTheNamesTheLibraryKnows) {
  const TempDir dir;
  const std::string source = dir.File("f.png");
  ASSERT_TRUE(WritePng(source, MakeTestImage(4, 3, 3)));
  const std::pair<const char*, TarveloLayout> known[] = {{"tga", TARVELO_LAYOUT_TGA},
                                                         {"BMP", TARVELO_LAYOUT_BMP},
                                                         {".Tga", TARVELO_LAYOUT_TGA},
                                                         {"x.bmp", TARVELO_LAYOUT_BMP}};
  for (const auto& [name, layout] : known) {
    SCOPED_TRACE(name);
    const ToolResult result = RunTool({"--to", name, source, dir.File("out.img")});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(ReadFileBytes(dir.File("out.img")), LibraryOutput(source, layout));
  }
  for (const char* name : {"gif", ".png", "", "tga.gz"}) {
    SCOPED_TRACE(name);
    const ToolResult result = RunTool({"--to", name, source, dir.File("refused.tga")});
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_FALSE(FileExists(dir.File("refused.tga")));
  }
}

TEST(SingleFile, ToOverridesTheExtension) {
  const TempDir dir;
  const std::string source = dir.File("f.jpg");
  ASSERT_TRUE(WriteJpeg(source, MakeTestImage(6, 3, 3), 90));
  ASSERT_EQ(RunTool({"--to", "bmp", source, dir.File("a.out")}).exit_code, 0);
  ASSERT_EQ(RunTool({source, dir.File("b.png"), "--to=TGA"}).exit_code, 0);
  EXPECT_EQ(ReadFileBytes(dir.File("a.out")), LibraryOutput(source, TARVELO_LAYOUT_BMP));
  EXPECT_EQ(ReadFileBytes(dir.File("b.png")), LibraryOutput(source, TARVELO_LAYOUT_TGA));
}

TEST(SingleFile, UnreadableSourceIsOneLineNamingItAndWritesNothing) {
  const TempDir dir;
  const std::string missing = dir.File("missing.png");
  ToolResult result = RunTool({missing, dir.File("new.tga")});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "tarvelo-convert: " + missing + ": source unreadable: No such file or directory\n");
  EXPECT_FALSE(FileExists(dir.File("new.tga")));

  const std::string junk = dir.File("junk.png");
  WriteFileBytes(junk, FromHex("89 50 4E 47 00 01 02"));
  const Bytes kept = FromHex("01 02 03");
  WriteFileBytes(dir.File("kept.bmp"), kept);
  result = RunTool({junk, dir.File("kept.bmp")});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err.rfind("tarvelo-convert: " + junk + ": source unreadable: ", 0), 0U) << result.err;
  EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
  EXPECT_EQ(ReadFileBytes(dir.File("kept.bmp")), kept);
}

// Each reason names the real cause, one line; --max-pixels sets the cap the
// refusal names, alone and in a batch (whose workers get it too).
TEST(SingleFile, ReasonsNameTheCauseAndMaxPixelsSetsTheCap) {
  const TempDir dir;
  const std::pair<const char*, Bytes> cases[] = {
      {"empty.png", Bytes{}},
      {"plain.ppm",
       FromHex("50 33 0A 31 20 31 0A 32 35 35 0A 30 20 30 20 30 0A")},  // "P3\n1 1\n255\n0 0 0\n"
  };
  const std::string expected[] = {
      "source is empty", "plain-text PNM (P1-P3) is not read, only binary greymaps and pixmaps (P5, P6)"};
  for (size_t i = 0; i < 2; ++i) {
    const std::string source = dir.File(cases[i].first);
    WriteFileBytes(source, cases[i].second);
    const ToolResult result = RunTool({source, dir.File("out.tga")});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "tarvelo-convert: " + source + ": source unreadable: " + expected[i] + "\n");
  }
  const std::string source = dir.File("f.png");
  ASSERT_TRUE(WritePng(source, MakeTestImage(7, 5, 4)));
  ToolResult result = RunTool({"--max-pixels", "34", source, dir.File("out.tga")});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "tarvelo-convert: " + source +
                            ": source unreadable: image exceeds the decoded-size limit (34 pixels)\n");
  result = RunTool({"--to", "tga", "-q", "-o", dir.path().string(), "--max-pixels=34", "-j", "2", source});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("image exceeds the decoded-size limit (34 pixels)"), std::string::npos)
      << result.err;
  EXPECT_FALSE(FileExists(dir.File("f.tga")));
  EXPECT_EQ(RunTool({"--max-pixels", "35", source, dir.File("out.tga")}).exit_code, 0);
  EXPECT_EQ(RunTool({"--max-pixels", "0", source, dir.File("zero.tga")}).exit_code, 2);
}

TEST(SingleFile, UnopenableDestinationIsNamedInTheFailure) {
  const TempDir dir;
  const std::string source = dir.File("f.png");
  ASSERT_TRUE(WritePng(source, MakeTestImage(3, 3, 1)));
  const std::string destination = dir.File("no-such-dir/out.tga");
  const ToolResult result = RunTool({source, destination});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err.rfind("tarvelo-convert: " + destination + ": destination could not be opened", 0), 0U)
      << result.err;
}

#if !defined(_WIN32)
// A pipe nobody writes to is refused at once, not waited on.
TEST(SingleFile, PipeAsSourceIsRefusedAtOnce) {
  const TempDir dir;
  const std::string fifo = dir.File("pipe.png");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const ToolResult result = RunTool({fifo, dir.File("out.tga")});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "tarvelo-convert: " + fifo + ": source unreadable: source is not a regular file\n");
  EXPECT_FALSE(FileExists(dir.File("out.tga")));
}
#endif

}  // namespace
}  // namespace tarvelo::test
