// The floor of every conversion: decoding alone. Reads each source whole and decodes
// it from memory with the channels the file has, as the library does, and frees
// it, writing nothing. Which
// copy of the decoder it runs is decided at link time (see CMakeLists.txt), so the
// same program measures the library's build of the decoder and the alternatives.
//
// Usage: tarvelo-decode-floor SOURCE...   (exit 1 if any source fails to decode)
#include <stb/stb_image.h>

#include <cstdio>

#include "load_whole.h"

#if defined(TARVELO_LIBRARY_DECODER)
// On the library's objects it decodes as tarvelo-convert does, helper threads allowed.
#include "decode/stb_decoder.h"
#endif

int main(int argc, char** argv) {
#if defined(TARVELO_LIBRARY_DECODER)
  const tarvelo::ScopedDecoderThreads threads(true);
#endif
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_uc* pixels = LoadWhole(argv[i], &width, &height, &channels);
    if (pixels == nullptr) {
      (void)std::fprintf(stderr, "%s: %s\n", argv[i], stbi_failure_reason());
      failed = 1;
      continue;
    }
    stbi_image_free(pixels);
  }
  return failed;
}
