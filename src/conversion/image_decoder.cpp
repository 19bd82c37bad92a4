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

namespace tarvelo {

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
  result.buffer.reset(stbi_load(path, &width, &height, &channels, 0));
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
