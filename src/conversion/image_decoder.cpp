// The one translation unit that compiles the decoder. Its symbols are hidden, so a
// host process that carries its own copy of the decoder can neither replace ours
// through symbol interposition nor see it.
//
// The C library headers the decoder uses come first, outside the hidden region: the
// C library's own functions must keep their default visibility.
#include <assert.h>
#include <limits.h>
#include <math.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility push(hidden)
#endif
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>
#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility pop
#endif

#include "image_decoder.h"

#if defined(_WIN32)
#include <string>

#include "../writer/utf8_to_wide_windows.h"
#endif

namespace tarvelo {
namespace {

// Decodes through the decoder's own file reader. On Windows the file is opened by
// its UTF-16 name, so names outside the ANSI code page work; the decoder's
// stbi_load would take the ANSI route.
unsigned char* LoadFromPath(const char* path, int* width, int* height, int* channels) noexcept {
#if defined(_WIN32)
  std::wstring wide;
  if (!Utf8ToWide(path, wide)) {
    return stbi__errpuc("can't fopen", "Unable to open file");
  }
  std::FILE* file = _wfopen(wide.c_str(), L"rb");
  if (file == nullptr) {
    return stbi__errpuc("can't fopen", "Unable to open file");
  }
  unsigned char* pixels = stbi_load_from_file(file, width, height, channels, 0);
  (void)std::fclose(file);  // read-only: nothing to lose
  return pixels;
#else
  return stbi_load(path, width, height, channels, 0);
#endif
}

}  // namespace

void DecoderBufferDeleter::operator()(unsigned char* pixels) const noexcept { stbi_image_free(pixels); }

DecodeResult DecodeImageFile(const char* path) noexcept {
  DecodeResult result;
  if (path == nullptr) {
    result.failure_reason = "no source path";
    return result;
  }
  int width = 0;
  int height = 0;
  int channels = 0;
  result.buffer.reset(LoadFromPath(path, &width, &height, &channels));
  if (!result.buffer) {
    const char* reason = stbi_failure_reason();
    result.failure_reason = reason != nullptr ? reason : "unknown decoder failure";
    return result;
  }
  if (width <= 0 || height <= 0 || channels < 1 || channels > 4) {
    result.buffer.reset();
    result.failure_reason = "decoder returned an empty or malformed image";
    return result;
  }
  result.image = {.width = width, .height = height, .channels = channels, .pixels = result.buffer.get()};
  return result;
}

}  // namespace tarvelo
