#include "api/error_text.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace tarvelo {

void CopyText(const char* text, char* out, size_t size) noexcept {
  if (out == nullptr || size == 0) {
    return;
  }
  const size_t length = text != nullptr ? std::strlen(text) : 0;
  const size_t kept = length < size ? length : size - 1;
  if (kept > 0) {
    std::memcpy(out, text, kept);
  }
  out[kept] = '\0';
}

void CopyErrorText(int error_number, char* out, size_t size) noexcept {
  char message[256] = {};
#if defined(_WIN32)
  strerror_s(message, sizeof message, error_number);
  CopyText(message, out, size);
#elif defined(__GLIBC__) && defined(_GNU_SOURCE)
  CopyText(strerror_r(error_number, message, sizeof message), out, size);
#else
  if (strerror_r(error_number, message, sizeof message) != 0) {
    CopyText("unknown error", out, size);
    return;
  }
  CopyText(message, out, size);
#endif
}

namespace {

enum class Kind { kPlain, kUnsupported, kCorrupt };

struct TerseReason {
  const char* terse;
  Kind kind;
  const char* plain;  // kPlain only
};

// The decoder's reasons that say something other than "this data is corrupt"; any
// reason not listed here is reported as corrupt data. The plain text for "unknown
// image type" names the formats the decoder reads.
constexpr TerseReason kReasons[] = {
    {"outofdata", Kind::kPlain, "file ends early"},
    {"bad file", Kind::kPlain, "file ends early"},
    {"unknown image type", Kind::kPlain,
     "not an image format this library reads (JPEG, PNG, BMP, TGA, GIF, PSD, HDR, PIC, PNM)"},
    {"outofmem", Kind::kPlain, "out of memory"},
    {"too large", Kind::kPlain, "image too large for the decoder"},
    {"can't fopen", Kind::kPlain, "source cannot be opened"},
    {"only 8-bit", Kind::kUnsupported, nullptr},
    {"1/2/4/8/16-bit only", Kind::kUnsupported, nullptr},
    {"bad bits_per_channel", Kind::kUnsupported, nullptr},
    {"unsupported bit depth", Kind::kUnsupported, nullptr},
    {"max value > 65535", Kind::kUnsupported, nullptr},
    {"BMP JPEG/PNG", Kind::kUnsupported, nullptr},
    {"BMP RLE", Kind::kUnsupported, nullptr},
    {"unknown BMP", Kind::kUnsupported, nullptr},
    {"unsupported format", Kind::kUnsupported, nullptr},
    {"unsupported data layout", Kind::kUnsupported, nullptr},
    {"unsupported", Kind::kUnsupported, nullptr},
    {"wrong channel count", Kind::kUnsupported, nullptr},
    {"wrong color format", Kind::kUnsupported, nullptr},
    {"wrong version", Kind::kUnsupported, nullptr},
    {"no header height", Kind::kUnsupported, nullptr},
    {"bad format", Kind::kUnsupported, nullptr},
};

}  // namespace

void DescribeDecoderFailure(const char* format_name, const char* terse_reason, char* out,
                            size_t size) noexcept {
  if (out == nullptr || size == 0) {
    return;
  }
  const char* format = format_name != nullptr ? format_name : "unknown";
  if (terse_reason == nullptr || *terse_reason == '\0') {
    (void)std::snprintf(out, size, "the decoder could not read the %s data", format);
    return;
  }
  Kind kind = Kind::kCorrupt;
  for (const TerseReason& reason : kReasons) {
    if (std::strcmp(reason.terse, terse_reason) == 0) {
      if (reason.kind == Kind::kPlain) {
        CopyText(reason.plain, out, size);
        return;
      }
      kind = reason.kind;
      break;
    }
  }
  if (kind == Kind::kUnsupported) {
    (void)std::snprintf(out, size, "a kind of %s this library does not read (%s)", format, terse_reason);
  } else {
    (void)std::snprintf(out, size, "corrupt %s data (%s)", format, terse_reason);
  }
  // Some reasons quote bytes of the file (a PNG chunk's name): keep the line one
  // line of plain text.
  for (char* at = out; *at != '\0'; ++at) {
    const auto byte = static_cast<unsigned char>(*at);
    if (byte < 0x20 || byte >= 0x7F) {
      *at = '?';
    }
  }
}

void CopySourceFailure(const SourceFailure& failure, SourceFormat format, char* out, size_t size) noexcept {
  if (failure.out_of_memory) {
    CopyText("out of memory", out, size);
  } else if (failure.over_cap != 0) {
    DescribeSizeLimit(failure.over_cap, out, size);
  } else if (failure.error_number != 0) {
    CopyErrorText(failure.error_number, out, size);
  } else if (failure.by_decoder) {
    DescribeDecoderFailure(SourceFormatName(format), failure.reason, out, size);
  } else {
    CopyText(failure.reason, out, size);
  }
}

void DescribeSizeLimit(uint64_t max_pixels, char* out, size_t size) noexcept {
  if (out == nullptr || size == 0) {
    return;
  }
  (void)std::snprintf(out, size, "image exceeds the decoded-size limit (%" PRIu64 " pixels)", max_pixels);
}

}  // namespace tarvelo
