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
#include <stdlib.h>
#include <string.h>

#include "decode/decoder_memory.h"

// Every buffer the decoder allocates comes from the decoder allocator (large ones
// are made resident by a helper thread while the decoder fills them).
#define STBI_MALLOC(size) tarvelo::AllocateDecoderMemory(size)
#define STBI_REALLOC(block, size) tarvelo::ResizeDecoderMemory(block, size)
#define STBI_FREE(block) tarvelo::FreeDecoderMemory(block)
// Sources are read whole into memory first, so the decoder never reads a file.
#define STBI_NO_STDIO
// A build without helper threads has no thread-local storage: the decoder keeps
// its reason for the last failure for the process (see DecoderMemoryScope).
#if defined(TARVELO_NO_HELPER_THREADS)
#define STBI_NO_THREAD_LOCALS
#endif

// The decoder's functions stay out of a shared library's dynamic symbols (set by the
// build where the object format has visibility).
#if defined(TARVELO_HIDE_DECODER_SYMBOLS)
#pragma GCC visibility push(hidden)
#endif
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>
#if defined(TARVELO_HIDE_DECODER_SYMBOLS)
#pragma GCC visibility pop
#endif

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

#include "decode/stb_decoder.h"

namespace tarvelo {

void DecoderBufferDeleter::operator()(unsigned char* pixels) const noexcept { stbi_image_free(pixels); }

namespace {

// The tests of the decoder's own dispatch, in its order, on a context like the one
// the decoder will read through. Each test rewinds the context itself.
// SourceFormat follows this order.
SourceFormat IdentifyContext(stbi__context& context) noexcept {
  static constexpr int (*kTests[])(stbi__context*) = {stbi__png_test, stbi__bmp_test, stbi__gif_test,
                                                      stbi__psd_test, stbi__pic_test, stbi__jpeg_test,
                                                      stbi__pnm_test, stbi__hdr_test, stbi__tga_test};
  static_assert(std::size(kTests) == static_cast<size_t>(SourceFormat::kTga));
  for (size_t i = 0; i < std::size(kTests); ++i) {
    if (kTests[i](&context) != 0) {
      return static_cast<SourceFormat>(i + 1);
    }
  }
  return SourceFormat::kUnknown;
}

// Points a decoder context at the source's first byte.
bool StartContext(const SourceBytes& source, stbi__context& context) noexcept {
  if (source.data == nullptr || source.size == 0 || source.size > INT_MAX) {
    return false;
  }
  stbi__start_mem(&context, source.data, static_cast<int>(source.size));
  return true;
}

// The signatures of the formats that have one (TGA has none).
constexpr std::string_view kSignatures[] = {"\x89PNG\r\n\x1a\n", "BM",       "GIF8", "8BPS",
                                            "\x53\x80\xF6\x34",  "\xFF\xD8", "P5",   "P6",
                                            "#?RADIANCE\n",      "#?RGBE\n"};

// True when the source starts with a signature, or is (two bytes or more of) a start of one.
bool HasSignature(const SourceBytes& source) noexcept {
  const std::string_view start(reinterpret_cast<const char*>(source.data), source.size);
  for (const std::string_view signature : kSignatures) {
    if (source.size >= 2 && signature.starts_with(start.substr(0, signature.size()))) {
      return true;
    }
  }
  return false;
}

// A memory context that notes whether the decoder reached the source's end: read or
// skipped past it, or asked whether it is there when it is. Its callbacks run only then
// and give nothing, so the decoder reads as it would from memory (zeros past the end).
struct NotingContext {
  stbi__context context;
  bool ran_out = false;

  static int Read(void* user, char* /*data*/, int /*size*/) {
    Skip(user, 0);
    return 0;
  }
  static void Skip(void* user, int /*count*/) { static_cast<NotingContext*>(user)->ran_out = true; }
  static int Eof(void* user) {
    auto* self = static_cast<NotingContext*>(user);
    self->ran_out = self->ran_out || self->context.img_buffer >= self->context.img_buffer_end;
    return 1;
  }
};

// Runs a step of the decoder on the source. When it fails on a source of a known format
// after reaching the end, whichever step noticed it, the reason is the decoder's
// "outofdata": the file ends early.
template <typename Step>
auto RunDecoder(const SourceBytes& source, Step step) noexcept {
  NotingContext noting;
  decltype(step(noting.context)) result{};
  if (StartContext(source, noting.context)) {
    noting.context.io = {.read = NotingContext::Read, .skip = NotingContext::Skip, .eof = NotingContext::Eof};
    noting.context.io_user_data = &noting;
    noting.context.read_from_callbacks = 1;
    result = step(noting.context);
    if (!result && noting.ran_out && HasSignature(source)) {
      (void)stbi__err("outofdata", "Corrupt image");
    }
  }
  return result;
}

}  // namespace

SourceFormat IdentifySourceFormat(const SourceBytes& source) noexcept {
  stbi__context context;
  return StartContext(source, context) ? IdentifyContext(context) : SourceFormat::kUnknown;
}

bool ReadDecoderInfo(const SourceBytes& source, int& width, int& height, int& channels) noexcept {
  return RunDecoder(source, [&](stbi__context& context) {
    return stbi__info_main(&context, &width, &height, &channels) != 0;
  });
}

DecoderBuffer DecodePixels(const SourceBytes& source, int& width, int& height, int& channels) noexcept {
  return DecoderBuffer(RunDecoder(source, [&](stbi__context& context) {
    return stbi__load_and_postprocess_8bit(&context, &width, &height, &channels, 0);
  }));
}

const char* DecoderFailureReason() noexcept { return stbi_failure_reason(); }

namespace {

// The decoder's reasons that have plain words of their own (the text for "unknown
// image type" names the formats the decoder reads), and, without words, those that
// name a kind of image it does not read; any other reason is reported as corrupt data.
constexpr const char* kKnownReasons[][2] = {
    {"outofdata", "file ends early"},
    {"bad file", "file ends early"},
    {"unknown image type",
     "not an image format this library reads (JPEG, PNG, BMP, TGA, GIF, PSD, HDR, PIC, PNM)"},
    {"outofmem", "out of memory"},
    {"too large", "image too large for the decoder"},
    {"only 8-bit", nullptr},
    {"1/2/4/8/16-bit only", nullptr},
    {"bad bits_per_channel", nullptr},
    {"unsupported bit depth", nullptr},
    {"max value > 65535", nullptr},
    {"BMP JPEG/PNG", nullptr},
    {"BMP RLE", nullptr},
    {"unknown BMP", nullptr},
    {"unsupported format", nullptr},
    {"unsupported", nullptr},
    {"unsupported data layout", nullptr},
    {"wrong channel count", nullptr},
    {"wrong color format", nullptr},
    {"wrong version", nullptr},
    {"no header height", nullptr},
    {"bad format", nullptr},
};

}  // namespace

void DescribeDecoderFailure(SourceFormat source_format, const char* terse_reason, char* out,
                            size_t size) noexcept {
  const char* format = SourceFormatName(source_format);
  if (terse_reason == nullptr || *terse_reason == '\0') {
    (void)std::snprintf(out, size, "the decoder could not read the %s data", format);
    return;
  }
  bool unsupported = false;
  for (const auto& [terse, plain] : kKnownReasons) {
    if (std::strcmp(terse, terse_reason) != 0) {
      continue;
    }
    if (plain != nullptr) {
      (void)std::snprintf(out, size, "%s", plain);
      return;
    }
    unsupported = true;
  }
  (void)std::snprintf(out, size,
                      unsupported ? "a kind of %s this library does not read (%s)" : "corrupt %s data (%s)",
                      format, terse_reason);
  // Some reasons quote bytes of the file (a PNG chunk's name): keep the line one
  // line of plain text.
  for (char* at = out; *at != '\0'; ++at) {
    const auto byte = static_cast<unsigned char>(*at);
    if (byte < 0x20 || byte >= 0x7F) {
      *at = '?';
    }
  }
}

const char* SourceFormatName(SourceFormat format) noexcept {
  static constexpr const char* kNames[] = {"unknown", "PNG",  "BMP", "GIF", "PSD",
                                           "PIC",     "JPEG", "PNM", "HDR", "TGA"};
  return kNames[static_cast<int>(format)];
}

uint8_t* InflateLikeDecoder(const uint8_t* data, size_t size, size_t expected_size, bool zlib_header,
                            size_t& inflated_size) noexcept {
  inflated_size = 0;
  if (size > INT_MAX || expected_size > INT_MAX) {
    return nullptr;
  }
  int length = 0;
  char* inflated = stbi_zlib_decode_malloc_guesssize_headerflag(
      reinterpret_cast<const char*>(data), static_cast<int>(size), static_cast<int>(expected_size), &length,
      zlib_header ? 1 : 0);
  if (inflated != nullptr) {
    inflated_size = static_cast<size_t>(length);
  }
  return reinterpret_cast<uint8_t*>(inflated);
}

}  // namespace tarvelo
