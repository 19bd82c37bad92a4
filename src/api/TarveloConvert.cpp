#include "TarveloConvert.h"

#include <cstdlib>
#include <cstring>

#include "api/decode_source.h"
#include "api/error_text.h"
#include "api/write_layout.h"

namespace tarvelo {
namespace {

TarveloStatus StatusOf(WriteFailureKind kind) {
  switch (kind) {
    case WriteFailureKind::kNone: return TARVELO_STATUS_CONVERTED;
    case WriteFailureKind::kOpenFailed: return TARVELO_STATUS_DESTINATION_UNOPENABLE;
    case WriteFailureKind::kWriteFailed: return TARVELO_STATUS_WRITE_FAILED;
    case WriteFailureKind::kTooLarge: return TARVELO_STATUS_IMAGE_TOO_LARGE;
  }
  return TARVELO_STATUS_WRITE_FAILED;
}

// A C caller may pass any int where an enum is declared; in C++ reading an enum
// object that holds a value outside its enumerators is undefined. Read its bytes.
template <typename Enum>
int RawValue(const Enum& value) noexcept {
  static_assert(sizeof(Enum) == sizeof(int), "the C API's enums are int-sized");
  int raw = 0;
  std::memcpy(&raw, &value, sizeof raw);
  return raw;
}

}  // namespace
}  // namespace tarvelo

extern "C" {

TARVELO_API TarveloStatus TarveloConvert(const char* source, const char* destination, TarveloLayout layout,
                                         char* detail, size_t detail_size) {
  using namespace tarvelo;
  CopyText("", detail, detail_size);
  if (source == nullptr || destination == nullptr) {
    CopyText(source == nullptr ? "source path is null" : "destination path is null", detail, detail_size);
    return TARVELO_STATUS_INVALID_ARGUMENT;
  }
  const int raw_layout = RawValue(layout);
  if (raw_layout != TARVELO_LAYOUT_TGA && raw_layout != TARVELO_LAYOUT_BMP) {
    CopyText("unknown layout", detail, detail_size);
    return TARVELO_STATUS_INVALID_ARGUMENT;
  }
  const DecodeResult decoded = DecodeImageFile(source);
  if (!decoded.ok()) {
    CopyText(decoded.failure_reason, detail, detail_size);
    return TARVELO_STATUS_SOURCE_UNREADABLE;
  }
  WriteFailure failure;
  const Layout which = raw_layout == TARVELO_LAYOUT_TGA ? Layout::kTga : Layout::kBmp;
  if (WriteLayout(which, destination, decoded.image, &failure) == 1) {
    return TARVELO_STATUS_CONVERTED;
  }
  if (failure.kind == WriteFailureKind::kTooLarge) {
    CopyText(which == Layout::kTga ? "TGA stores at most 65535 pixels per side"
                                   : "BMP file size would exceed 4 GiB",
             detail, detail_size);
  } else if (failure.error_number != 0) {
    CopyErrorText(failure.error_number, detail, detail_size);
  }
  return StatusOf(failure.kind);
}

TARVELO_API const char* TarveloStatusMessage(TarveloStatus status) {
  switch (tarvelo::RawValue(status)) {
    case TARVELO_STATUS_CONVERTED: return "converted";
    case TARVELO_STATUS_SOURCE_UNREADABLE: return "source unreadable";
    case TARVELO_STATUS_DESTINATION_UNOPENABLE: return "destination could not be opened";
    case TARVELO_STATUS_WRITE_FAILED: return "write failed";
    case TARVELO_STATUS_IMAGE_TOO_LARGE: return "image too large for the layout";
    case TARVELO_STATUS_INVALID_ARGUMENT: return "invalid argument";
  }
  return "unknown status";
}

TARVELO_API const char* TarveloLibraryVersion(void) { return TARVELO_VERSION_STRING; }

TARVELO_API void TarveloInitOptions(TarveloOptions* options) {
  if (options != nullptr) {
    *options = {};
    options->struct_size = sizeof(TarveloOptions);
  }
}

TARVELO_API TarveloStatus TarveloConvertWithOptions(const char*, const char*, TarveloLayout,
                                                    const TarveloOptions*, char*, size_t) {
  return TARVELO_STATUS_INVALID_ARGUMENT;
}
TARVELO_API TarveloStatus TarveloConvertToFunc(const char*, TarveloLayout, TarveloWriteFunc, void*,
                                               const TarveloOptions*, char*, size_t) {
  return TARVELO_STATUS_INVALID_ARGUMENT;
}
TARVELO_API TarveloStatus TarveloConvertMemory(const void*, size_t, const char*, TarveloLayout,
                                               const TarveloOptions*, char*, size_t) {
  return TARVELO_STATUS_INVALID_ARGUMENT;
}
TARVELO_API TarveloStatus TarveloConvertMemoryToFunc(const void*, size_t, TarveloLayout, TarveloWriteFunc,
                                                     void*, const TarveloOptions*, char*, size_t) {
  return TARVELO_STATUS_INVALID_ARGUMENT;
}
TARVELO_API TarveloStatus TarveloConvertMemoryToBuffer(const void*, size_t, TarveloLayout, void** output,
                                                       size_t* output_size, const TarveloOptions*, char*,
                                                       size_t) {
  if (output != nullptr) *output = nullptr;
  if (output_size != nullptr) *output_size = 0;
  return TARVELO_STATUS_INVALID_ARGUMENT;
}
TARVELO_API TarveloStatus TarveloWritePixels(const void*, int, int, int, size_t, const char*, TarveloLayout,
                                             const TarveloOptions*, char*, size_t) {
  return TARVELO_STATUS_INVALID_ARGUMENT;
}
TARVELO_API TarveloStatus TarveloWritePixelsToFunc(const void*, int, int, int, size_t, TarveloLayout,
                                                   TarveloWriteFunc, void*, const TarveloOptions*, char*,
                                                   size_t) {
  return TARVELO_STATUS_INVALID_ARGUMENT;
}
TARVELO_API TarveloStatus TarveloWritePixelsToBuffer(const void*, int, int, int, size_t, TarveloLayout,
                                                     void** output, size_t* output_size,
                                                     const TarveloOptions*, char*, size_t) {
  if (output != nullptr) *output = nullptr;
  if (output_size != nullptr) *output_size = 0;
  return TARVELO_STATUS_INVALID_ARGUMENT;
}
TARVELO_API void TarveloFree(void* buffer) { std::free(buffer); }
TARVELO_API TarveloStatus TarveloReadInfo(const char*, TarveloImageInfo*, char*, size_t) {
  return TARVELO_STATUS_INVALID_ARGUMENT;
}
TARVELO_API TarveloStatus TarveloReadInfoMemory(const void*, size_t, TarveloImageInfo*, char*, size_t) {
  return TARVELO_STATUS_INVALID_ARGUMENT;
}
TARVELO_API TarveloStatus TarveloLayoutFromName(const char*, TarveloLayout*) {
  return TARVELO_STATUS_INVALID_ARGUMENT;
}

}  // extern "C"
