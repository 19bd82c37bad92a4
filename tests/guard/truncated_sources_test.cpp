// A source of every format cut short at every point after its signature's first two
// bytes: refused as a source that ends early, never as an unknown format or corrupt
// data, unless the cut only lost bytes the image does not need.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "TarveloConvert.h"
#include "api_sources.h"
#include "source_builders.h"

namespace tarvelo::test {
namespace {

struct Outcome {
  TarveloStatus status;
  std::string detail;
  Bytes output;
};

Outcome ConvertPrefix(const Bytes& bytes, size_t kept) {
  const TarveloSource from = MemorySource(bytes.data(), kept);
  TarveloOutput output{};
  output.kind = TARVELO_OUTPUT_BUFFER;
  TarveloResult result{};
  Outcome outcome{
      TarveloConvertImage(&from, &output, TARVELO_LAYOUT_TGA, nullptr, &result), result.detail, {}};
  if (outcome.status == TARVELO_STATUS_CONVERTED) {
    const auto* data = static_cast<const uint8_t*>(output.buffer);
    outcome.output.assign(data, data + output.size);
    TarveloFree(output.buffer);
  }
  return outcome;
}

TEST(TruncatedSources, EveryFormatCutShortSaysItEndsEarly) {
  for (const NamedSource& source : ValidSources()) {
    SCOPED_TRACE(source.name);
    const Outcome whole = ConvertPrefix(source.bytes, source.bytes.size());
    ASSERT_EQ(whole.status, TARVELO_STATUS_CONVERTED);
    const bool tga = source.name.ends_with(".tga");
    const bool gif = source.name.ends_with(".gif");
    // Every cut in the first 64 bytes (the headers), then about 40 more.
    for (size_t kept = 2; kept < source.bytes.size(); kept += kept < 64 ? 1 : 1 + source.bytes.size() / 40) {
      SCOPED_TRACE(kept);
      const Outcome cut = ConvertPrefix(source.bytes, kept);
      if (cut.status == TARVELO_STATUS_CONVERTED) {
        // A lost trailer, checksum or row padding leaves the same image. A GIF whose
        // pixel data stops inside a sub-block is decoded as the decoder reads it:
        // the rows the data never reached are cleared.
        if (!gif) {
          EXPECT_EQ(cut.output, whole.output);
        }
        continue;
      }
      EXPECT_EQ(cut.status, TARVELO_STATUS_SOURCE_UNREADABLE);
      // TGA has no signature: a cut header no longer looks like one.
      if (tga && cut.detail.starts_with("not an image format")) {
        continue;
      }
      EXPECT_TRUE(std::string_view(cut.detail).ends_with("ends early")) << cut.detail;
    }
  }
}

}  // namespace
}  // namespace tarvelo::test
