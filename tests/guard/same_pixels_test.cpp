// The guard refuses nothing the decoder reads correctly: every valid source of the
// test suite and of the fuzzing seed corpus decodes through the guarded path to
// exactly the pixels the decoder alone gives for it.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "convert/decode_source.h"
#include "file_bytes.h"
#include "source_builders.h"
#include "temp_dir.h"

#if defined(__GNUC__)
#pragma GCC visibility push(hidden)
#endif
#include <stb/stb_image.h>
#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

namespace tarvelo::test {
namespace {

struct StbFree {
  void operator()(unsigned char* pixels) const { stbi_image_free(pixels); }
};

void ExpectSamePixels(const std::string& path) {
  SCOPED_TRACE(path);
  int width = 0;
  int height = 0;
  int channels = 0;
  const std::unique_ptr<unsigned char, StbFree> plain(stbi_load(path.c_str(), &width, &height, &channels, 0));
  ASSERT_NE(plain, nullptr) << "not a valid source: " << stbi_failure_reason();
  TarveloSource source{};
  source.kind = TARVELO_SOURCE_FILE;
  source.path = path.c_str();
  const DecodeResult guarded = DecodeSource(source);
  ASSERT_TRUE(guarded.ok()) << (guarded.failure.reason != nullptr ? guarded.failure.reason : "");
  ASSERT_EQ(guarded.image.width, width);
  ASSERT_EQ(guarded.image.height, height);
  ASSERT_EQ(guarded.image.channels, channels);
  const size_t bytes =
      static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(channels);
  EXPECT_EQ(std::memcmp(guarded.image.pixels, plain.get(), bytes), 0);
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
