// A decoder that crashes or hangs costs only its own file. The tests' copy of the
// tool has hooks that stand in for such a decoder (test_fault_hooks.cpp); the tool
// that is installed has none and reacts to none of their variables.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "image_encoders.h"
#include "reference_output.h"
#include "temp_dir.h"
#include "tool_runner.h"

namespace tarvelo::test {
namespace {

class Isolation : public testing::Test {
 protected:
  void SetUp() override {
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
  const ToolSettings faults_{.extra_environment = {"TARVELO_TOOL_TEST_CRASH_MARKER=crash-here",
                                                   "TARVELO_TOOL_TEST_HANG_MARKER=hang-here"},
                             .hooked = true};
};

TEST_F(Isolation, HookedCopyConvertsMarkedFilesWithoutTheHookVariables) {
  ToolSettings no_variables = faults_;
  no_variables.extra_environment.clear();
  const ToolResult result = RunTool(
      {"--to", "tga", "-o", dir_.File("out"), dir_.File("crash-here.png"), dir_.File("hang-here.png")},
      no_variables);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  ExpectConverted({"crash-here", "hang-here"});
}

// What users install must not crash or hang on a path and a variable: the same
// files and variables that make the hooked copy fail convert normally, in a batch
// (worker processes) and as a single file (in the tool's own process).
TEST_F(Isolation, InstalledToolIgnoresTheHookVariables) {
  ToolSettings installed = faults_;
  installed.hooked = false;
  ToolResult result = RunTool({"--to", "tga", "--timeout", "5", "-o", dir_.File("out"),
                               dir_.File("crash-here.png"), dir_.File("hang-here.png")},
                              installed);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "converted 2 of 2 files, 0 failed\n");
  ExpectConverted({"crash-here", "hang-here"});
  for (const char* name : {"crash-here", "hang-here"}) {
    const std::string destination = dir_.File(std::string("out/single-") + name + ".tga");
    result = RunTool({"--timeout", "5", dir_.File(std::string(name) + ".png"), destination}, installed);
    EXPECT_EQ(result.exit_code, 0) << name << ": " << result.err;
    EXPECT_EQ(ReadFileBytes(destination),
              LibraryOutput(dir_.File(std::string(name) + ".png"), TARVELO_LAYOUT_TGA));
  }
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

// A worker that says "converted" and writes nothing: the tool counts a file only when
// it can see the output in place.
TEST_F(Isolation, AWorkersWordAloneDoesNotMakeAFileConverted) {
  ASSERT_TRUE(WritePng(dir_.File("lie-here.png"), MakeTestImage(5, 4, 3)));
  const ToolResult result = RunTool(
      {"--to", "tga", "-j", "1", "-o", dir_.File("out"), dir_.File("1.png"), dir_.File("lie-here.png")},
      {.extra_environment = {"TARVELO_TOOL_TEST_LIE_MARKER=lie-here"}, .hooked = true});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "tarvelo-convert: " + dir_.File("lie-here.png") +
                            ": worker reported success but left no output at " +
                            dir_.File("out/lie-here.tga") + "\n");
  EXPECT_EQ(result.out, "converted 1 of 2 files, 1 failed\n");
  ExpectConverted({"1"});
}

#if !defined(_WIN32)
// A worker that closes its channel is reported as that, not as the kill the tool
// then sends it.
TEST_F(Isolation, AWorkerThatClosesItsChannelIsReportedAsSuch) {
  ASSERT_TRUE(WritePng(dir_.File("close-here.png"), MakeTestImage(5, 4, 3)));
  const ToolResult result = RunTool(
      {"--to", "tga", "-j", "1", "-o", dir_.File("out"), dir_.File("close-here.png"), dir_.File("1.png")},
      {.extra_environment = {"TARVELO_TOOL_TEST_CLOSE_MARKER=close-here"}, .hooked = true});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "tarvelo-convert: " + dir_.File("close-here.png") +
                            ": worker process ended unexpectedly (it closed its channel)\n");
  ExpectConverted({"1"});
}

// A worker that exits while a child of its own still holds its channel open: the
// tool sees the exit itself, at once, and reports it as it was, not as a time limit
// reached with the channel still open.
TEST_F(Isolation, AWorkerThatExitsIsReportedTrulyWhileItsChildHoldsTheChannel) {
  ASSERT_TRUE(WritePng(dir_.File("orphan-here.png"), MakeTestImage(5, 4, 3)));
  const auto start = std::chrono::steady_clock::now();
  const ToolResult result =
      RunTool({"--to", "tga", "-j", "1", "--timeout", "3", "-o", dir_.File("out"),
               dir_.File("orphan-here.png"), dir_.File("1.png")},
              {.extra_environment = {"TARVELO_TOOL_TEST_ORPHAN_MARKER=orphan-here"}, .hooked = true});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "tarvelo-convert: " + dir_.File("orphan-here.png") +
                            ": worker process ended unexpectedly (exit status 3)\n");
  EXPECT_EQ(result.out, "converted 1 of 2 files, 1 failed\n");
  ExpectConverted({"1"});
}
#endif

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

// Enough files that one worker converts many in a row: a crash and a hang in the
// middle of the batch cost only their own file, and the files after each are still
// converted (by a fresh worker).
class IsolationInARow : public testing::Test {
 protected:
  static constexpr int kFiles = 48;

  // f00.png ... f47.png, with the markers in the names of the files asked for.
  std::vector<std::string> MakeSources(const std::vector<std::pair<int, std::string>>& marked) {
    std::vector<std::string> sources;
    for (int i = 0; i < kFiles; ++i) {
      std::string stem = (i < 10 ? "f0" : "f") + std::to_string(i);
      for (const auto& [index, marker] : marked) {
        if (index == i) {
          stem += "-" + marker;
        }
      }
      EXPECT_TRUE(WritePng(dir_.File(stem + ".png"), MakeTestImage(4 + i % 5, 3, 4)));
      stems_.push_back(stem);
      sources.push_back(dir_.File(stem + ".png"));
    }
    std::filesystem::create_directory(dir_.File("out"));
    return sources;
  }

  // Every file but `failed` converted, byte for byte; the failed ones left nothing.
  void ExpectAllConvertedBut(const std::vector<int>& failed) const {
    for (int i = 0; i < kFiles; ++i) {
      const std::string output = dir_.File("out/" + stems_[static_cast<std::size_t>(i)] + ".tga");
      if (std::find(failed.begin(), failed.end(), i) != failed.end()) {
        EXPECT_FALSE(FileExists(output)) << output;
      } else {
        EXPECT_EQ(ReadFileBytes(output),
                  LibraryOutput(dir_.File(stems_[static_cast<std::size_t>(i)] + ".png"), TARVELO_LAYOUT_TGA))
            << output;
      }
    }
  }

  const TempDir dir_;
  std::vector<std::string> stems_;
};

TEST_F(IsolationInARow, CrashAndHangInTheMiddleCostOnlyTheirFile) {
  const std::vector<std::string> sources =
      MakeSources({{5, "crash-here"}, {9, "hang-here"}, {10, "crash-here"}});
  std::vector<std::string> arguments = {"--to", "tga", "-j", "1", "--timeout", "1", "-o", dir_.File("out")};
  arguments.insert(arguments.end(), sources.begin(), sources.end());
  const ToolResult result =
      RunTool(arguments, {.extra_environment = {"TARVELO_TOOL_TEST_CRASH_MARKER=crash-here",
                                                "TARVELO_TOOL_TEST_HANG_MARKER=hang-here"},
                          .hooked = true});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "tarvelo-convert: " + sources[5] + ": decoder crashed (signal 11)\n" +
                            "tarvelo-convert: " + sources[9] + ": timed out after 1 s\n" +
                            "tarvelo-convert: " + sources[10] + ": decoder crashed (signal 11)\n");
  EXPECT_EQ(result.out, "converted 45 of 48 files, 3 failed\n");
  ExpectAllConvertedBut({5, 9, 10});
}

// The time limit is a file's, not a worker's: two slow files in a row on one worker
// take longer together than the limit allows one file, and both convert.
TEST_F(IsolationInARow, TimeLimitCountsForEachFile) {
  const std::vector<std::string> sources = MakeSources({{1, "slow-here"}, {2, "slow-here"}});
  std::vector<std::string> arguments = {"--to", "tga", "-j", "1", "--timeout", "3", "-o", dir_.File("out")};
  arguments.insert(arguments.end(), sources.begin(), sources.end());
  const ToolResult result =
      RunTool(arguments, {.extra_environment = {"TARVELO_TOOL_TEST_SLOW_MARKER=slow-here"}, .hooked = true});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  ExpectAllConvertedBut({});
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

// A single conversion has a time limit only when --timeout asks for one: without
// it, a decoder that hangs is still at work well past the shortest limit and ends
// only when it is killed; with it, the limit ends it, not before its time.
TEST_F(Isolation, SingleConversionHasNoTimeLimitUnlessAsked) {
  ToolSettings probe = faults_;
  probe.signal_when_exists = dir_.File("stop");
  probe.signal_number = SIGKILL;
  ToolResult result;
  std::string ended_early;  // the runner's word when the tool ended before the kill
  std::thread tool([&] {
    try {
      result = RunTool({dir_.File("hang-here.png"), dir_.File("out/x.tga")}, probe);
    } catch (const std::exception& error) {
      ended_early = error.what();
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  close(open(dir_.File("stop").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  tool.join();
  EXPECT_EQ(ended_early, "");
  EXPECT_EQ(result.signal, SIGKILL);
  EXPECT_EQ(result.err, "");

  const auto started = std::chrono::steady_clock::now();
  result = RunTool({"--timeout", "2", dir_.File("hang-here.png"), dir_.File("out/x.tga")}, faults_);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "tarvelo-convert: " + dir_.File("hang-here.png") + ": timed out after 2 s\n");
  EXPECT_FALSE(FileExists(dir_.File("out/x.tga")));
}

// The limit covers the decoding, never the final write: a destination that takes
// its bytes slowly (here a pipe whose reader waits two seconds, past a one-second
// limit) still gets all of them, and the tool reports the conversion as done.
TEST_F(Isolation, TheTimeLimitNeverCutsTheFinalWriteShort) {
  const std::string source = dir_.File("big.png");
  ASSERT_TRUE(WritePng(source, MakeTestImage(200, 200, 3)));  // more than a pipe holds
  const std::string pipe = dir_.File("out/slow.tga");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  const int reader = open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ToolResult result;
  std::thread tool([&] { result = RunTool({"--timeout", "1", source, pipe}); });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ASSERT_EQ(fcntl(reader, F_SETFL, 0), 0);
  Bytes received;
  char block[65536];
  for (ssize_t got = 0; (got = read(reader, block, sizeof block)) > 0;) {
    received.insert(received.end(), block, block + got);
  }
  tool.join();
  close(reader);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(received, LibraryOutput(source, TARVELO_LAYOUT_TGA));
}

}  // namespace
}  // namespace tarvelo::test
