// The conversion as stb_image_write's own writers do it, for comparison: decode
// with the decoder, then stbi_write_tga (run-length encoding off, as our layout is
// uncompressed) or stbi_write_bmp, chosen by DEST's extension.
//
// Usage: tarvelo-stb-write-convert SOURCE DEST.tga|DEST.bmp
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include <cstdio>
#include <cstring>

#include "decode/stb_decoder.h"
#include "load_whole.h"

namespace {

bool EndsWith(const char* text, const char* suffix) {
  const size_t length = std::strlen(text);
  const size_t suffix_length = std::strlen(suffix);
  return length >= suffix_length && std::strcmp(text + length - suffix_length, suffix) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || !(EndsWith(argv[2], ".tga") || EndsWith(argv[2], ".bmp"))) {
    (void)std::fprintf(stderr, "usage: %s SOURCE DEST.tga|DEST.bmp\n", argv[0]);
    return 2;
  }
  // Decoded as tarvelo-convert decodes, helper threads allowed: the two differ only
  // in what comes after decoding.
  const tarvelo::ScopedDecoderThreads threads(true);
  int width = 0;
  int height = 0;
  int channels = 0;
  stbi_uc* pixels = LoadWhole(argv[1], &width, &height, &channels);
  if (pixels == nullptr) {
    (void)std::fprintf(stderr, "%s: %s\n", argv[1], stbi_failure_reason());
    return 1;
  }
  stbi_write_tga_with_rle = 0;
  const int written = EndsWith(argv[2], ".tga") ? stbi_write_tga(argv[2], width, height, channels, pixels)
                                                : stbi_write_bmp(argv[2], width, height, channels, pixels);
  stbi_image_free(pixels);
  return written != 0 ? 0 : 1;
}
