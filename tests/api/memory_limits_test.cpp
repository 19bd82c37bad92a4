// Memory, said as it is: a decode that the system refuses memory reports "out of
// memory" with its own status, whatever reason the decoder left behind; the
// decoded-size cap can be raised up to what the decoder can address, and every
// refusal names the cap in force.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TarveloConvert.h"
#include "api_sources.h"
#include "file_bytes.h"
#include "image_encoders.h"
#include "source_builders.h"
#include "temp_dir.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARVELO_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define TARVELO_UNDER_SANITIZER 1
#endif
#endif

namespace tarvelo::test {
namespace {

// The process's address space now, from /proc (0 when unknown).
[[maybe_unused]] rlim_t AddressSpaceInUse() {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) {
    return 0;
  }
  unsigned long pages = 0;
  const int read = std::fscanf(statm, "%lu", &pages);
  std::fclose(statm);
  return read == 1 ? static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) : 0;
}

[[maybe_unused]] constexpr int kLimitNotEnforced = 101;

// Converts `source` in a child whose address space may grow by only 8 MiB; the
// child exits with the status, 100 when the detail is not `expected`, or
// kLimitNotEnforced when the system does not enforce that limit.
[[maybe_unused]] int ConvertWithLittleMemory(const std::string& source, const std::string& destination,
                                             bool memory_source, const char* expected) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(60);
    const Bytes bytes = ReadFileBytes(source);
    const rlim_t limit = AddressSpaceInUse() + (rlim_t{8} << 20U);
    const struct rlimit address_space = {limit, limit};
    setrlimit(RLIMIT_AS, &address_space);
    // qemu-user keeps the guest's address space its own and does not enforce the
    // limit: a block far past it is then granted, and the case cannot be shown here.
    void* volatile probe = std::malloc(std::size_t{64} << 20U);
    if (probe != nullptr) {
      std::free(probe);
      _exit(kLimitNotEnforced);
    }
    const TarveloSource from = memory_source ? MemorySource(bytes.data(), bytes.size()) : FileSource(source);
    TarveloOutput to{};
    to.kind = TARVELO_OUTPUT_FILE;
    to.path = destination.c_str();
    TarveloResult result;
    const TarveloStatus status = TarveloConvertImage(&from, &to, TARVELO_LAYOUT_TGA, nullptr, &result);
    _exit(std::strcmp(result.detail, expected) == 0 ? static_cast<int>(status) : 100);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

TEST(OutOfMemory, IsReportedAsSuchWhateverTheDecoderSaid) {
#if defined(TARVELO_UNDER_SANITIZER)
  GTEST_SKIP() << "the sanitizer's shadow memory needs more address space than the limit allows";
#else
  const TempDir dir;
  // Large enough that the decoded image alone passes the limit.
  const Image picture = MakeTestImage(2500, 2000, 3);
  ASSERT_TRUE(WritePng(dir.File("big.png"), picture));
  ASSERT_TRUE(WriteJpeg(dir.File("big.jpg"), picture, 90));
  for (const char* name : {"big.png", "big.jpg"}) {
    for (const bool memory_source : {false, true}) {
      SCOPED_TRACE(std::string(name) + (memory_source ? " from memory" : " from a file"));
      const int result =
          ConvertWithLittleMemory(dir.File(name), dir.File("out.tga"), memory_source, "out of memory");
      if (result == kLimitNotEnforced) {
        GTEST_SKIP() << "this system does not enforce RLIMIT_AS (qemu-user keeps the guest's address space)";
      }
      EXPECT_EQ(result, TARVELO_STATUS_OUT_OF_MEMORY);
      EXPECT_FALSE(FileExists(dir.File("out.tga")));
    }
  }
  // Without the limit the same sources convert.
  EXPECT_EQ(TarveloConvert(dir.File("big.png").c_str(), dir.File("out.tga").c_str(), TARVELO_LAYOUT_TGA,
                           nullptr, 0),
            TARVELO_STATUS_CONVERTED);
  EXPECT_STREQ(TarveloStatusMessage(TARVELO_STATUS_OUT_OF_MEMORY), "out of memory");
#endif
}

std::string Refusal(const Bytes& source, uint64_t cap) {
  TarveloOptions options;
  TarveloInitOptions(&options);
  options.max_decoded_pixels = cap;
  const TempDir dir;
  const std::string destination = dir.File("out.tga");
  const TarveloSource from = MemorySource(source.data(), source.size());
  TarveloOutput to{};
  to.kind = TARVELO_OUTPUT_FILE;
  to.path = destination.c_str();
  TarveloResult result;
  const TarveloStatus status = TarveloConvertImage(&from, &to, TARVELO_LAYOUT_TGA, &options, &result);
  EXPECT_FALSE(FileExists(destination));
  return status == TARVELO_STATUS_SOURCE_UNREADABLE ? result.detail : "status " + std::to_string(status);
}

// Grey and RGB alike (the decoder's own header scan refuses the RGB one first),
// the refusal names the cap: the default, a caller's lower one, and a raised one,
// which is lowered only to what the decoder can address.
TEST(DecodedSizeCap, RefusalNamesTheCapInForce) {
  const bool wide = sizeof(void*) >= 8;
  for (const int channels : {1, 3}) {
    SCOPED_TRACE(channels);
    const Bytes huge = PngHeaderOnly(20000, 20000, channels);
    EXPECT_EQ(Refusal(huge, 0), std::string("image exceeds the decoded-size limit (") +
                                    (wide ? "268435456" : "67108864") + " pixels)");
    EXPECT_EQ(Refusal(huge, 1000), "image exceeds the decoded-size limit (1000 pixels)");
    const Bytes huger = PngHeaderOnly(30000, 20000, channels);
    EXPECT_EQ(Refusal(huger, UINT64_MAX), std::string("image exceeds the decoded-size limit (") +
                                              (wide ? "536870911" : "268369919") + " pixels)");
  }
  // A cap raised past the default lets an image past the default reach the
  // decoder, which here finds its data empty.
  if (wide) {
    const std::string raised = Refusal(PngHeaderOnly(20000, 14000, 1), uint64_t{1} << 29U);
    EXPECT_EQ(raised.find("decoded-size limit"), std::string::npos) << raised;
  }
}

}  // namespace
}  // namespace tarvelo::test
