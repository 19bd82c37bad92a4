// The decoder's peak memory per format, as its allocator counts it, against the
// byte bound of the decoded-size cap (kDecoderBytesPerPixel per pixel): every
// format but the 16-bit interlaced PNG stays inside it for a source exactly at the
// cap, and that one is refused as over the cap unless the cap is raised. The
// measured bytes per pixel are printed (SECURITY.md quotes them).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "convert/conversion.h"
#include "decode/decode_limits.h"
#include "source_builders.h"

namespace tarvelo::test {
namespace {

DecodeResult DecodeImageMemory(const Bytes& bytes, const DecodeSettings& settings = {}) {
  TarveloSource source{};
  source.kind = TARVELO_SOURCE_MEMORY;
  source.data = bytes.data();
  source.size = bytes.size();
  return DecodeSource(source, settings);
}

std::string Reason(const DecodeResult& result) {
  const SourceFailure& failure = result.failure;
  return std::string(failure.reason != nullptr ? failure.reason : "") + " errno " +
         std::to_string(failure.error_number) + " over cap " + std::to_string(failure.over_cap) +
         (failure.out_of_memory ? " out of memory" : "");
}

struct Case {
  const char* name;
  Bytes bytes;
  bool within = true;  // inside the byte bound of a cap at its own size
};

TEST(DecoderPeak, EveryFormatStaysInsideTheCapsByteBound) {
  constexpr int kWidth = 512;
  constexpr int kHeight = 384;
  constexpr uint64_t kPixels = uint64_t{kWidth} * kHeight;
  const Image rgba = MakeTestImage(kWidth, kHeight, 4);
  const Image rgb = MakeTestImage(kWidth, kHeight, 3);
  const Image grey = MakeTestImage(kWidth, kHeight, 1);
  const std::vector<Case> cases = {
      {"PNG RGBA 8-bit", EncodePng(rgba)},
      {"PNG RGBA 16-bit", EncodeDeepPng(rgba, false)},
      // Inflated rows (grown past the guess), the image and a pass at once.
      {"PNG RGBA 16-bit Adam7", EncodeDeepPng(rgba, true), false},
      {"PNG grey+alpha 16-bit Adam7", EncodeDeepPng(MakeTestImage(kWidth, kHeight, 2), true)},
      {"PNG palette 8-bit", EncodePalettePng(grey, 8)},
      {"JPEG RGB", EncodeJpeg(rgb, 90)},
      {"BMP RGBA", EncodeBmp(rgba)},
      {"TGA RGBA RLE", EncodeTga(rgba, true)},
      {"GIF", EncodeGif(rgba)},
      {"PSD RGBA RLE", EncodePsd(rgba, true)},
      {"PIC RGBA RLE", EncodePic(rgba, true)},
      {"PNM RGB 16-bit", EncodePnm(rgb, true)},
      {"HDR RGB", EncodeHdr(rgb)},
  };
  for (const Case& source : cases) {
    SCOPED_TRACE(source.name);
    const DecodeResult measured = DecodeImageMemory(source.bytes);
    ASSERT_TRUE(measured.ok()) << Reason(measured);
    std::printf("%-28s %5.2f bytes per pixel at its peak\n", source.name,
                static_cast<double>(measured.decoder_peak) / static_cast<double>(kPixels));
    EXPECT_GE(measured.decoder_peak, kPixels);  // the decoded image at least
    EXPECT_EQ(measured.decoder_peak <= DecoderByteBudget(kPixels), source.within);
    // Capped at exactly its size, where the byte bound is at its tightest: past the
    // bound the decoder's allocation is refused and the refusal names the cap.
    const DecodeResult capped =
        DecodeImageMemory(source.bytes, DecodeSettings{.max_decoded_pixels = kPixels});
    if (source.within) {
      EXPECT_TRUE(capped.ok()) << Reason(capped);
    } else {
      EXPECT_FALSE(capped.ok());
      EXPECT_FALSE(capped.failure.out_of_memory);
      EXPECT_EQ(capped.failure.over_cap, kPixels) << Reason(capped);
      // Raising the cap lets it through.
      EXPECT_TRUE(DecodeImageMemory(source.bytes, DecodeSettings{.max_decoded_pixels = 2 * kPixels}).ok());
    }
  }
}

}  // namespace
}  // namespace tarvelo::test
