// Every class of hostile source the input guard exists for is refused through the
// status API and through both exports: the reason names the defect, no destination
// appears, an existing destination keeps its bytes, nothing hangs and nothing
// allocates more than a fraction of the decoded-size limit.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <ostream>
#include <string>

#include "TarveloConvert.h"
#include "TarveloImageTGA.h"
#include "file_bytes.h"
#include "source_builders.h"
#include "temp_dir.h"
#include "wide_path.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARVELO_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define TARVELO_UNDER_SANITIZER 1
#endif
#endif

namespace tarvelo::test {

// GoogleTest prints parameters; the name says everything (and reading the whole
// struct as bytes would read its padding).
void PrintTo(const HostileSource& source, std::ostream* out) { *out << source.name; }

namespace {

class HostileSourceTest : public ::testing::TestWithParam<HostileSource> {
 protected:
  void SetUp() override {
    source_ = dir_.File(GetParam().name);
    WriteFileBytes(source_, GetParam().bytes);
  }

  TempDir dir_;
  std::string source_;
};

TEST_P(HostileSourceTest, StatusApiRefusesWithTheDefectAndWritesNothing) {
  for (const TarveloLayout layout : {TARVELO_LAYOUT_TGA, TARVELO_LAYOUT_BMP}) {
    const std::string destination = dir_.File(layout == TARVELO_LAYOUT_TGA ? "out.tga" : "out.bmp");
    char detail[256] = "unset";
    EXPECT_EQ(TarveloConvert(source_.c_str(), destination.c_str(), layout, detail, sizeof detail),
              TARVELO_STATUS_SOURCE_UNREADABLE);
    EXPECT_EQ(std::string(detail), GetParam().reason);
    EXPECT_FALSE(FileExists(destination));
  }
  EXPECT_EQ(ListDirectory(dir_.path().string()), std::vector<std::string>{GetParam().name});
}

TEST_P(HostileSourceTest, ExportsLeaveNoFileAndKeepAnExistingDestination) {
  const std::string fresh = dir_.File("fresh.tga");
  EXPECT_EQ(BMP2TGA(WidePath(source_).c_str(), WidePath(fresh).c_str()), 999);
  EXPECT_FALSE(FileExists(fresh));

  const std::string existing = dir_.File("existing.bmp");
  const Bytes kept = {'k', 'e', 'p', 't'};
  WriteFileBytes(existing, kept);
  EXPECT_EQ(TGA2BMP(WidePath(source_).c_str(), WidePath(existing).c_str()), 999);
  EXPECT_EQ(ReadFileBytes(existing), kept);
  EXPECT_EQ(ListDirectory(dir_.path().string()).size(), 2U);
}

// Runs the conversion in a child process with a time limit and, outside sanitizer
// builds, an address-space limit far below what the headers claim: a hang, a crash
// or a large allocation fails the test instead of taking the test run down.
TEST_P(HostileSourceTest, ConvertingNeitherHangsNorCrashesNorAllocatesMuch) {
  const std::string destination = dir_.File("child.tga");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);
#if !defined(TARVELO_UNDER_SANITIZER)
    const rlim_t limit = rlim_t{256} << 20U;
    const struct rlimit address_space = {limit, limit};
    setrlimit(RLIMIT_AS, &address_space);
#endif
    const TarveloStatus status =
        TarveloConvert(source_.c_str(), destination.c_str(), TARVELO_LAYOUT_TGA, nullptr, 0);
    _exit(status == TARVELO_STATUS_SOURCE_UNREADABLE ? 0 : 10 + static_cast<int>(status));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status)
                                    << (WTERMSIG(status) == SIGALRM ? " (hang)" : "");
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(FileExists(destination));
}

std::string TestName(const ::testing::TestParamInfo<HostileSource>& info) {
  std::string name = info.param.name;
  for (char& c : name) {
    c = std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Guard, HostileSourceTest, ::testing::ValuesIn(HostileSources()), TestName);

}  // namespace
}  // namespace tarvelo::test
