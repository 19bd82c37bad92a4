// The guard refuses nothing the decoder reads correctly: every valid source of the
// test suite and of the fuzzing seed corpus decodes through the guarded path to
// exactly the pixels the decoder alone gives for it.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "convert/conversion.h"
#include "file_bytes.h"
#include "reference_decoder.h"
#include "source_builders.h"
#include "temp_dir.h"

namespace tarvelo::test {
namespace {

void ExpectSamePixels(const std::string& path) {
  SCOPED_TRACE(path);
  Image plain;
  ASSERT_TRUE(DecodeReference(path, plain)) << "not a valid source";
  TarveloSource source{};
  source.kind = TARVELO_SOURCE_FILE;
  source.path = path.c_str();
  DecodeResult guarded;
  TarveloResult result;
  ASSERT_TRUE(ReadImage(source, {}, guarded, result)) << result.detail;
  ASSERT_EQ(guarded.image.width, plain.width);
  ASSERT_EQ(guarded.image.height, plain.height);
  ASSERT_EQ(guarded.image.channels, plain.channels);
  EXPECT_EQ(std::memcmp(guarded.image.pixels, plain.pixels.data(), plain.pixels.size()), 0);
}

TEST(SamePixels, EveryValidSourceOfEveryFormatDecodesAlikeWithAndWithoutTheGuard) {
  TempDir dir;
  const auto sources = ValidSources();
  ASSERT_GT(sources.size(), 200U);
  for (const NamedSource& source : sources) {
    const std::string path = dir.File(source.name);
    WriteFileBytes(path, source.bytes);
    ExpectSamePixels(path);
  }
}

TEST(SamePixels, EveryValidSeedOfTheFuzzingCorpusDecodesAlike) {
  size_t seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(TARVELO_SEED_CORPUS)) {
    if (entry.path().filename().string().rfind("valid-", 0) == 0) {
      ExpectSamePixels(entry.path().string());
      ++seeds;
    }
  }
  EXPECT_GE(seeds, 20U);
}

}  // namespace
}  // namespace tarvelo::test
