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
#include "source_format.h"
#include "stb_inflate.h"

namespace tarvelo {

void DecoderBufferDeleter::operator()(unsigned char* pixels) const noexcept { stbi_image_free(pixels); }

SourceFormat IdentifySourceFormat(std::FILE* file) noexcept {
  if (std::fseek(file, 0, SEEK_SET) != 0) {
    return SourceFormat::kUnknown;
  }
  // The tests of the decoder's own dispatch, in its order, on a context like the one
  // the decoder will read through. Each test rewinds the context itself.
  stbi__context context;
  stbi__start_file(&context, file);
  SourceFormat format = SourceFormat::kUnknown;
  if (stbi__png_test(&context) != 0) {
    format = SourceFormat::kPng;
  } else if (stbi__bmp_test(&context) != 0) {
    format = SourceFormat::kBmp;
  } else if (stbi__gif_test(&context) != 0) {
    format = SourceFormat::kGif;
  } else if (stbi__psd_test(&context) != 0) {
    format = SourceFormat::kPsd;
  } else if (stbi__pic_test(&context) != 0) {
    format = SourceFormat::kPic;
  } else if (stbi__jpeg_test(&context) != 0) {
    format = SourceFormat::kJpeg;
  } else if (stbi__pnm_test(&context) != 0) {
    format = SourceFormat::kPnm;
  } else if (stbi__hdr_test(&context) != 0) {
    format = SourceFormat::kHdr;
  } else if (stbi__tga_test(&context) != 0) {
    format = SourceFormat::kTga;
  }
  std::clearerr(file);
  if (std::fseek(file, 0, SEEK_SET) != 0) {
    return SourceFormat::kUnknown;
  }
  return format;
}

size_t InflateWithDecoder(const uint8_t* data, size_t size, uint8_t* out, size_t capacity,
                          bool zlib_header) noexcept {
  if (size > INT_MAX || capacity > INT_MAX) {
    return 0;
  }
  stbi__zbuf stream{};
  stream.zbuffer = const_cast<stbi_uc*>(data);
  stream.zbuffer_end = stream.zbuffer + size;
  // Not expandable: the inflater writes only into `out` and never allocates.
  stbi__do_zlib(&stream, reinterpret_cast<char*>(out), static_cast<int>(capacity), 0, zlib_header ? 1 : 0);
  return static_cast<size_t>(stream.zout - stream.zout_start);  // NOLINT(clang-analyzer-unix.Malloc)
}

}  // namespace tarvelo
