// Batches over directory trees (-r, --parents), --update, --dry-run, a held output
// directory, terminals and the tool's own messages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "file_bytes.h"
#include "image_encoders.h"
#include "temp_dir.h"
#include "tool_runner.h"

namespace tarvelo::test {
namespace {

namespace fs = std::filesystem;

class Tree : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_.path() / "in" / "sub" / "deep");
    fs::create_directories(dir_.path() / "elsewhere");
    for (const char* name : {"in/a.png", "in/sub/b.PNG", "in/sub/deep/c.png", "elsewhere/e.png"}) {
      ASSERT_TRUE(WritePng(dir_.File(name), MakeTestImage(3, 2, 3)));
    }
    // Not chosen by name: a decoder's TGA test would take text for an image.
    WriteFileBytes(dir_.File("in/notes.txt"), FromHex("00 00 02 00"));
    WriteFileBytes(dir_.File("in/sub/image.png.txt"), FromHex("00"));
    fs::create_directory_symlink(dir_.path() / "elsewhere", dir_.path() / "in" / "linked");
  }

  [[nodiscard]] std::vector<std::string> FilesBelow(const std::string& name) const {
    std::vector<std::string> files;
    if (!fs::exists(dir_.path() / name)) {
      return files;
    }
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path() / name)) {
      if (!entry.is_directory()) {
        files.push_back(fs::relative(entry.path(), dir_.path() / name).generic_string());
      }
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  const TempDir dir_;
};

TEST_F(Tree, RecursiveKeepsTheTreeChoosesImagesByNameAndFollowsNoDirectoryLink) {
  const ToolResult result =
      RunTool({"-r", "--to", "tga", "-j", "2", "-o", dir_.File("out/new"), dir_.File("in")});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "converted 3 of 3 files, 0 failed\n");
  EXPECT_EQ(FilesBelow("out/new"), (std::vector<std::string>{"a.tga", "sub/b.tga", "sub/deep/c.tga"}));
  // A rerun leaves the tree's outputs alone.
  const ToolResult again =
      RunTool({"-r", "--skip-existing", "--to", "tga", "-o", dir_.File("out/new"), dir_.File("in")});
  EXPECT_EQ(again.out, "converted 0 of 3 files, 3 skipped, 0 failed\n");
  // A directory without -r is refused by name, the other sources converted.
  const ToolResult plain =
      RunTool({"--to", "tga", "-o", dir_.File("out"), dir_.File("in"), dir_.File("in/a.png")});
  EXPECT_EQ(plain.exit_code, 1);
  EXPECT_NE(plain.err.find(dir_.File("in") + ": is a directory; use -r"), std::string::npos) << plain.err;
}

TEST_F(Tree, ParentsKeepsEachListedPathFromANulSeparatedList) {
  WriteFileBytes(dir_.File("list"), Bytes{'i', 'n', '/', 'a', '.', 'p', 'n', 'g', 0,   '.', '/', 'i',
                                          'n', '/', 's', 'u', 'b', '/', 'b', '.', 'P', 'N', 'G', 0});
  ToolSettings settings;
  settings.working_directory = dir_.File("");
  const ToolResult result =
      RunTool({"-0", "--files-from", "list", "--parents", "--to", "bmp", "-o", "out"}, settings);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(FilesBelow("out"), (std::vector<std::string>{"in/a.bmp", "in/sub/b.bmp"}));
  // A path through ".." would leave -o.
  const ToolResult up = RunTool({"--parents", "--to", "bmp", "-o", "out", "in/../in/a.png"}, settings);
  EXPECT_EQ(up.exit_code, 0) << up.err;  // stays inside: kept as in/a.bmp
  const ToolResult out_of = RunTool({"--parents", "--to", "bmp", "-o", "out", "../x/a.png"}, settings);
  EXPECT_EQ(out_of.exit_code, 1);
  EXPECT_NE(out_of.err.find("../x/a.png: --parents cannot keep a path that leads out of it"),
            std::string::npos);
}

TEST_F(Tree, TwoSourcesForOneOutputStopTheBatchBeforeAnythingIsWritten) {
  ASSERT_TRUE(WritePng(dir_.File("in/a.gif"), MakeTestImage(3, 2, 3)));  // a.png's stem
  for (const char* jobs : {"1", "2"}) {
    const ToolResult result =
        RunTool({"-r", "-j", jobs, "--to", "tga", "-o", dir_.File("out"), dir_.File("in")});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "tarvelo-convert: " + dir_.File("in/a.gif") + " and " + dir_.File("in/a.png") +
                              " would both write " + dir_.File("out/a.tga") +
                              ": nothing was converted; convert one of them apart\n")
        << result.err;
    EXPECT_FALSE(fs::exists(dir_.path() / "out"));
  }
}

TEST_F(Tree, SourcesThatAreNotThereCreateNoOutputDirectory) {
  const ToolResult result = RunTool({"-r", "--to", "tga", "-o", dir_.File("out"), dir_.File("missing-dir")});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find(dir_.File("missing-dir") + ": "), std::string::npos) << result.err;
  EXPECT_FALSE(fs::exists(dir_.path() / "out"));
  // Nor a directory below an -o that exists; a source that is there still gets its own.
  fs::create_directory(dir_.path() / "out");
  ToolSettings settings;
  settings.working_directory = dir_.File("");
  const ToolResult kept =
      RunTool({"--parents", "--to", "tga", "-o", "out", "gone/x.png", "in/sub/b.PNG"}, settings);
  EXPECT_EQ(kept.exit_code, 1);
  EXPECT_NE(kept.err.find("gone/x.png: "), std::string::npos) << kept.err;
  EXPECT_EQ(FilesBelow("out"), (std::vector<std::string>{"in/sub/b.tga"}));
  EXPECT_FALSE(fs::exists(dir_.path() / "out" / "gone"));
}

TEST_F(Tree, DryRunSaysWhatAndWhereAndWritesNothing) {
  const ToolResult result =
      RunTool({"-n", "-r", "--to", "tga", "-o", dir_.File("out"), dir_.File("in"), dir_.File("missing.png")});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, dir_.File("in/a.png") + " -> " + dir_.File("out/a.tga") + "\n" +
                            dir_.File("in/sub/b.PNG") + " -> " + dir_.File("out/sub/b.tga") + "\n" +
                            dir_.File("in/sub/deep/c.png") + " -> " + dir_.File("out/sub/deep/c.tga") + "\n" +
                            dir_.File("missing.png") + " -> " + dir_.File("out/missing.tga") + "\n" +
                            "would convert 4 of 4 files, 0 failed\n");
  EXPECT_FALSE(fs::exists(dir_.path() / "out"));
  // Refusals are found as in a real run: a file where a directory would be made.
  fs::create_directory(dir_.path() / "out");
  WriteFileBytes(dir_.File("out/sub"), FromHex("00"));
  for (const char* dry : {"-n", "-q"}) {
    const ToolResult refusing =
        RunTool({dry, "-r", "--to", "tga", "-o", dir_.File("out"), dir_.File("in"), dir_.File("elsewhere")});
    EXPECT_EQ(refusing.exit_code, 1);
    EXPECT_EQ(refusing.err,
              "tarvelo-convert: " + dir_.File("in/sub/b.PNG") + ": cannot create the directory " +
                  dir_.File("out") + "/sub: Not a directory\n" +
                  "tarvelo-convert: " + dir_.File("in/sub/deep/c.png") + ": cannot create the directory " +
                  dir_.File("out") + "/sub/deep: Not a directory\n");
    const std::vector<std::string> left = std::string(dry) == "-n"
                                              ? std::vector<std::string>{"sub"}
                                              : std::vector<std::string>{"a.tga", "e.tga", "sub"};
    EXPECT_EQ(FilesBelow("out"), left);
  }
  const ToolResult single = RunTool({"-n", dir_.File("in/a.png"), dir_.File("a.bmp")});
  EXPECT_EQ(single.exit_code, 0);
  EXPECT_FALSE(fs::exists(dir_.path() / "a.bmp"));
}

TEST_F(Tree, UpdateConvertsOnlyMissingOrOlderOutputs) {
  fs::create_directory(dir_.path() / "out");
  const std::vector<std::string> batch = {"--update",
                                          "-v",
                                          "--to",
                                          "tga",
                                          "-o",
                                          dir_.File("out"),
                                          dir_.File("in/a.png"),
                                          dir_.File("elsewhere/e.png")};
  WriteFileBytes(dir_.File("out/a.tga"), FromHex("01"));  // newer than its source: left alone
  fs::last_write_time(dir_.path() / "in/a.png",
                      fs::last_write_time(dir_.path() / "out/a.tga") - std::chrono::hours(1));
  WriteFileBytes(dir_.File("out/e.tga"), FromHex("01"));  // older: converted again
  fs::last_write_time(dir_.path() / "out/e.tga",
                      fs::last_write_time(dir_.path() / "elsewhere/e.png") - std::chrono::hours(1));
  const ToolResult result = RunTool(batch);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, dir_.File("in/a.png") + ": skipped, " + dir_.File("out/a.tga") + " exists\n" +
                            dir_.File("elsewhere/e.png") + " -> " + dir_.File("out/e.tga") + "\n" +
                            "converted 1 of 2 files, 1 skipped, 0 failed\n");
  EXPECT_EQ(ReadFileBytes(dir_.File("out/a.tga")).size(), 1U);
  EXPECT_GT(ReadFileBytes(dir_.File("out/e.tga")).size(), 1U);
}

TEST_F(Tree, AListWithWindowsLineEndsIsRead) {
  WriteFileBytes(dir_.File("list"),
                 Bytes{'i', 'n', '/', 'a', '.', 'p', 'n', 'g', '\r', '\n', 'e', 'l', 's',
                       'e', 'w', 'h', 'e', 'r', 'e', '/', 'e', '.',  'p',  'n', 'g', '\r'});
  ToolSettings settings;
  settings.working_directory = dir_.File("");
  const ToolResult result =
      RunTool({"--files-from", "list", "--to", "tga", "-o", "made", "--parents"}, settings);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(FilesBelow("made"), (std::vector<std::string>{"elsewhere/e.tga", "in/a.tga"}));
}

// The directories below -o are made one at a time and never through a link: one in
// a directory's place refuses the files below it and receives nothing.
TEST_F(Tree, ALinkInPlaceOfADirectoryBelowTheOutputIsNotFollowed) {
  fs::create_directory(dir_.path() / "out");
  fs::create_directory_symlink(dir_.path() / "elsewhere", dir_.path() / "out" / "sub");
  const ToolResult result = RunTool({"-q", "-r", "--to", "tga", "-o", dir_.File("out"), dir_.File("in")});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "tarvelo-convert: " + dir_.File("in/sub/b.PNG") + ": cannot create the directory " +
                            dir_.File("out") + "/sub: Not a directory\n" + "tarvelo-convert: " +
                            dir_.File("in/sub/deep/c.png") + ": cannot create the directory " +
                            dir_.File("out") + "/sub/deep: Not a directory\n");
  EXPECT_EQ(FilesBelow("elsewhere"), (std::vector<std::string>{"e.png"}));
  EXPECT_TRUE(fs::exists(dir_.path() / "out" / "a.tga"));
}

// The batch writes below the directory it opened: renamed and replaced by a link
// mid-batch, nothing reaches the link's target.
TEST_F(Tree, AnOutputDirectoryReplacedByALinkMidBatchRedirectsNothing) {
  fs::create_directory(dir_.path() / "out");
  fs::create_directory(dir_.path() / "victim");
  const std::string slow = dir_.File("in/slow-s.png");
  ASSERT_TRUE(WritePng(slow, MakeTestImage(3, 2, 3)));
  ToolSettings settings;
  settings.hooked = true;
  settings.extra_environment = {"TARVELO_TOOL_TEST_SLOW_MARKER=slow-"};
  ToolResult result;
  std::thread batch([&] {
    result = RunTool({"-j", "1", "--parents", "--to", "tga", "-o", dir_.File("out"), "--",
                      dir_.File("in/a.png"), slow, dir_.File("in/sub/b.PNG"), dir_.File("in/sub/deep/c.png")},
                     settings);
  });
  const auto first = dir_.path() / "out" / dir_.path().relative_path() / "in" / "a.tga";
  for (int tries = 0; tries < 2000 && !fs::exists(first); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  fs::rename(dir_.path() / "out", dir_.path() / "moved");
  fs::create_directory_symlink(dir_.path() / "victim", dir_.path() / "out");
  batch.join();
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(FilesBelow("victim").empty());
  EXPECT_EQ(FilesBelow("moved").size(), 4U);
}

// -o is opened as the library opens a destination's directory: a link that another
// user planted in a sticky directory is not followed, whatever the system's setting.
TEST_F(Tree, AnOutputDirectoryLinkPlantedInASharedDirectoryIsNotFollowed) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs a link owned by another user";
  }
  fs::create_directory(dir_.path() / "sticky");
  fs::permissions(dir_.path() / "sticky", fs::perms::all | fs::perms::sticky_bit);
  fs::create_directory(dir_.path() / "victim");
  fs::create_directory_symlink(dir_.path() / "victim", dir_.path() / "sticky" / "out");
  ASSERT_EQ(lchown(dir_.File("sticky/out").c_str(), 65534, 65534), 0);
  const ToolResult result = RunTool({"--to", "tga", "-o", dir_.File("sticky/out"), dir_.File("in/a.png")});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "tarvelo-convert: " + dir_.File("sticky/out") +
                            ": cannot open the output directory: Permission denied\n");
  EXPECT_TRUE(FilesBelow("victim").empty());
  // A link of this user's own, or in a directory that is not shared, is followed.
  ASSERT_EQ(lchown(dir_.File("sticky/out").c_str(), geteuid(), getegid()), 0);
  fs::create_directory_symlink("sticky/out", dir_.path() / "mine");
  EXPECT_EQ(RunTool({"--to", "tga", "-o", dir_.File("mine"), dir_.File("in/a.png")}).exit_code, 0);
  EXPECT_EQ(FilesBelow("victim"), std::vector<std::string>{"a.tga"});
}

// Standard output on a pseudo-terminal.
ToolResult RunOnTerminal(const std::vector<std::string>& arguments, std::string* shown) {
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  EXPECT_GE(terminal, 0);
  EXPECT_EQ(grantpt(terminal), 0);
  EXPECT_EQ(unlockpt(terminal), 0);
  ToolSettings settings;
  settings.stdout_path = ptsname(terminal);
  const ToolResult result = RunTool(arguments, settings);
  (void)fcntl(terminal, F_SETFL, O_NONBLOCK);
  char bytes[4096];
  for (ssize_t got = 0; (got = read(terminal, bytes, sizeof bytes)) > 0;) {
    shown->append(bytes, static_cast<std::size_t>(got));
  }
  close(terminal);
  return result;
}

TEST_F(Tree, ImageBytesGoToATerminalOnlyWhenForced) {
  std::string shown;
  const ToolResult refused = RunOnTerminal({"--to", "tga", dir_.File("in/a.png"), "-"}, &shown);
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(
      refused.err,
      "tarvelo-convert: standard output is a terminal, not written to: redirect it (> FILE, | program), or "
      "use -f to write the image bytes anyway\n");
  EXPECT_TRUE(shown.empty());
  const ToolResult forced = RunOnTerminal({"-f", "--to", "tga", dir_.File("in/a.png"), "-"}, &shown);
  EXPECT_EQ(forced.exit_code, 0) << forced.err;
  EXPECT_FALSE(shown.empty());
}

TEST_F(Tree, UsageMistakesAreNamedInTheToolsWords) {
  WriteFileBytes(dir_.File("exists.tga"), FromHex("00"));
  fs::create_directory(dir_.path() / "outb");
  const std::string a = dir_.File("in/a.png");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-j", "abc", "--to", "tga", "-o", dir_.File("in"), a},
       "-j (--jobs) takes a number of files from 1 to 1024, not 'abc'"},
      {{"--timeout", "0", a, dir_.File("x.tga")}, "--timeout takes seconds from 1 to 86400, not '0'"},
      {{"--to", "tga", "-o", dir_.File("exists.tga"), a, a},
       "-o " + dir_.File("exists.tga") + " is a file, not a directory"},
      {{"--to", "tga", "-o", dir_.File("missing"), a},
       "no such directory; create it (mkdir -p " + dir_.File("missing")},
      {{a, dir_.File("outb") + "/"}, "is a directory: to write into it use -o " + dir_.File("outb") + "/"},
      {{"--to=bmp", a, dir_.File("a.tga")}, "--to bmp would write another layout than " + dir_.File("a.tga")},
      {{"-r", a, dir_.File("a.tga")}, "-r needs -o DIR"},
      {{"--update", "--skip-existing", a, dir_.File("a.tga")}, "cannot be used together"},
      {{a, dir_.File("a.tga"), "--to"}, "tarvelo-convert: --to needs a value after it (see --help)\n"},
      {{"--to", "tga", "--to", "bmp", a, dir_.File("a.tga")},
       "tarvelo-convert: --to is given more than once"},
  };
  for (const auto& [arguments, message] : cases) {
    const ToolResult result = RunTool(arguments);
    EXPECT_EQ(result.exit_code, 2) << arguments[0];
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
  }
  EXPECT_FALSE(fs::exists(dir_.path() / "a.tga"));
}

}  // namespace
}  // namespace tarvelo::test
