// Decoding a source safely: the file is opened once and everything (the guard, the
// size check and the decoder) reads that one open file, so that what was checked is
// what is decoded. A file that changes on disk while it is being read is refused.
#include "api/decode_source.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "decode/decode_limits.h"
#include "decode/source_file.h"
#include "decode/source_reader.h"
#include "decode/stb_decoder.h"
#include "guard/input_guard.h"
#if defined(TARVELO_TEST_SEAMS)
#include "source_check_hook.h"  // the tests' copy of this step only (tests/support)
#endif

#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility push(hidden)
#endif
#include <stb/stb_image.h>
#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility pop
#endif

namespace tarvelo {
namespace {

constexpr const char* kChanged = "source changed while it was being read";

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { static_cast<void>(std::fclose(file)); }
};
using SourceHandle = std::unique_ptr<std::FILE, FileCloser>;

DecodeResult Failure(const char* reason) noexcept {
  DecodeResult result;
  result.failure_reason = reason;
  return result;
}

const char* DecoderReason() noexcept {
  const char* reason = stbi_failure_reason();
  return reason != nullptr && *reason != '\0' ? reason : "unknown decoder failure";
}

bool Rewind(std::FILE* file) noexcept {
  std::clearerr(file);
  return std::fseek(file, 0, SEEK_SET) == 0;
}

}  // namespace

DecodeResult DecodeImageFile(const char* path) noexcept {
  if (path == nullptr) {
    return Failure("no source path");
  }
  const SourceHandle file(OpenSourceFile(path));
  if (!file) {
    return Failure("can't fopen");
  }
  SourceSnapshot before;
  if (!TakeSourceSnapshot(file.get(), before)) {
    return Failure("source is not a regular file");
  }

  // The guard comes first: even reading the header for the size check runs the
  // decoder's table building on a hostile JPEG.
  const SourceFormat format = IdentifySourceFormat(file.get());
  {
    SourceReader reader(file.get(), before.size);
    if (const char* defect = CheckSource(format, reader); defect != nullptr) {
      return Failure(defect);
    }
  }

  int width = 0;
  int height = 0;
  int channels = 0;
  if (!Rewind(file.get()) || stbi_info_from_file(file.get(), &width, &height, &channels) == 0) {
    return Failure(DecoderReason());
  }
  // A top-down BMP reports its height as negative.
  const uint64_t pixels =
      static_cast<uint64_t>(std::llabs(width)) * static_cast<uint64_t>(std::llabs(height));
  if (pixels > kMaxDecodedPixels) {
    return Failure("image exceeds the decoded-size limit");
  }

#if defined(TARVELO_TEST_SEAMS)
  test_seams::RunSourceCheckedHook();
#endif
  if (!Rewind(file.get())) {
    return Failure(kChanged);
  }
  DecodeResult result;
  result.buffer.reset(stbi_load_from_file(file.get(), &width, &height, &channels, 0));
  SourceSnapshot after;
  if (!TakeSourceSnapshot(file.get(), after) || after != before) {
    result.buffer.reset();
    return Failure(kChanged);
  }
  if (!result.buffer) {
    return Failure(DecoderReason());
  }
  if (width <= 0 || height <= 0 || channels < 1 || channels > 4) {
    return Failure("decoder returned an empty or malformed image");
  }
  result.image = {.width = width, .height = height, .channels = channels, .pixels = result.buffer.get()};
  return result;
}

}  // namespace tarvelo
