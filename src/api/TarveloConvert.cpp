#include "TarveloConvert.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "api/error_text.h"
#include "convert/decode_source.h"
#include "convert/write_target.h"

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

// The options a call runs with: the caller's, read up to the size they declare, or
// the defaults. False for a structure this library cannot read.
bool ReadOptions(const TarveloOptions* given, TarveloOptions& options) noexcept {
  options = {};
  options.struct_size = sizeof options;
  if (given == nullptr) {
    return true;
  }
  size_t size = 0;
  std::memcpy(&size, &given->struct_size, sizeof size);
  // The first version ended with max_decoded_pixels; a smaller one cannot be ours.
  if (size < offsetof(TarveloOptions, max_decoded_pixels) + sizeof(uint64_t)) {
    return false;
  }
  // A newer caller's fields beyond ours must hold their defaults (zero): anything
  // else asks for something this library cannot do.
  const auto* bytes = reinterpret_cast<const unsigned char*>(given);
  for (size_t at = sizeof(TarveloOptions); at < size; ++at) {
    if (bytes[at] != 0) {
      return false;
    }
  }
  options.allow_threads = given->allow_threads;
  options.max_decoded_pixels = given->max_decoded_pixels;
  return true;
}

DecodeSettings DecodeSettingsOf(const TarveloOptions& options) noexcept {
  DecodeSettings settings;
  settings.allow_threads = options.allow_threads != 0;
  if (options.max_decoded_pixels != 0) {
    settings.max_decoded_pixels = options.max_decoded_pixels;
  }
  return settings;
}

WriteSettings WriteSettingsOf(const TarveloOptions& options) noexcept {
  return WriteSettings{.allow_threads = options.allow_threads != 0};
}

// What a write's failure reports: its status and the detail that explains it.
TarveloStatus ReportWriteFailure(const LayoutEntry& layout, const WriteFailure& failure, char* detail,
                                 size_t detail_size) noexcept {
  if (failure.kind == WriteFailureKind::kTooLarge) {
    CopyText(layout.too_large, detail, detail_size);
  } else if (failure.error_number == kOutputRefused) {
    CopyText("the write callback reported a failure", detail, detail_size);
  } else if (failure.error_number == kPipeWithoutReader) {
    CopyText("destination is a pipe with no reader", detail, detail_size);
  } else if (failure.error_number != 0) {
    CopyErrorText(failure.error_number, detail, detail_size);
  }
  return StatusOf(failure.kind);
}

// `raw` is the caller's layout read as an int (see RawValue): an enum parameter that
// holds no enumerator must not even be copied as one.
const LayoutEntry* ReadLayout(int raw, char* detail, size_t detail_size) noexcept {
  static_assert(static_cast<int>(Layout::kTga) == TARVELO_LAYOUT_TGA &&
                static_cast<int>(Layout::kBmp) == TARVELO_LAYOUT_BMP);
  const LayoutEntry* layout = FindLayout(raw);
  if (layout == nullptr) {
    CopyText("unknown layout", detail, detail_size);
  }
  return layout;
}

TarveloStatus Invalid(const char* why, char* detail, size_t detail_size) noexcept {
  CopyText(why, detail, detail_size);
  return TARVELO_STATUS_INVALID_ARGUMENT;
}

// Writes `image` to the target; the common end of every conversion.
TarveloStatus WriteToTarget(const DecodedImage& image, const LayoutEntry& layout, const Target& target,
                            const TarveloOptions& options, char* detail, size_t detail_size) noexcept {
  WriteFailure failure;
  if (WriteToTarget(image, layout, target, WriteSettingsOf(options), failure)) {
    return TARVELO_STATUS_CONVERTED;
  }
  return ReportWriteFailure(layout, failure, detail, detail_size);
}

// Reports a source that did not decode.
TarveloStatus SourceUnreadable(const SourceFailure& failure, SourceFormat format, char* detail,
                               size_t detail_size) noexcept {
  CopySourceFailure(failure, format, detail, detail_size);
  return failure.out_of_memory ? TARVELO_STATUS_OUT_OF_MEMORY : TARVELO_STATUS_SOURCE_UNREADABLE;
}

// The arguments every new call checks the same way, in the same order.
bool PrepareCall(int given_layout, const TarveloOptions* given_options, const LayoutEntry*& layout,
                 TarveloOptions& options, TarveloStatus& status, char* detail, size_t detail_size) noexcept {
  layout = ReadLayout(given_layout, detail, detail_size);
  if (layout == nullptr) {
    status = TARVELO_STATUS_INVALID_ARGUMENT;
    return false;
  }
  if (!ReadOptions(given_options, options)) {
    status =
        Invalid("options structure not recognised (set it up with TarveloInitOptions)", detail, detail_size);
    return false;
  }
  return true;
}

// Settles the layout and the options, decodes, and writes to the target.
TarveloStatus ConvertDecoded(DecodeResult (*decode)(const void*, size_t, const DecodeSettings&),
                             const void* source, size_t size, int given_layout, const Target& target,
                             const TarveloOptions* given_options, char* detail, size_t detail_size) noexcept {
  const LayoutEntry* layout = nullptr;
  TarveloOptions options;
  TarveloStatus status = TARVELO_STATUS_CONVERTED;
  if (!PrepareCall(given_layout, given_options, layout, options, status, detail, detail_size)) {
    return status;
  }
  const DecodeResult decoded = decode(source, size, DecodeSettingsOf(options));
  if (!decoded.ok()) {
    return SourceUnreadable(decoded.failure, decoded.format, detail, detail_size);
  }
  return WriteToTarget(decoded.image, *layout, target, options, detail, detail_size);
}

DecodeResult DecodePath(const void* path, size_t /*size*/, const DecodeSettings& settings) noexcept {
  return DecodeImageFile(static_cast<const char*>(path), settings);
}

DecodeResult DecodeBytes(const void* data, size_t size, const DecodeSettings& settings) noexcept {
  return DecodeImageMemory(static_cast<const uint8_t*>(data), size, settings);
}

TarveloStatus ConvertFile(const char* source, int given_layout, const Target& target,
                          const TarveloOptions* given_options, char* detail, size_t detail_size) noexcept {
  return ConvertDecoded(DecodePath, source, 0, given_layout, target, given_options, detail, detail_size);
}

TarveloStatus ConvertMemory(const void* data, size_t size, int given_layout, const Target& target,
                            const TarveloOptions* given_options, char* detail, size_t detail_size) noexcept {
  return ConvertDecoded(DecodeBytes, data, size, given_layout, target, given_options, detail, detail_size);
}

// File to file, the common body of TarveloConvert and TarveloConvertWithOptions.
TarveloStatus ConvertPaths(const char* source, const char* destination, int raw_layout,
                           const TarveloOptions* given_options, char* detail, size_t detail_size) noexcept {
  CopyText("", detail, detail_size);
  if (source == nullptr || destination == nullptr) {
    return Invalid(source == nullptr ? "source path is null" : "destination path is null", detail,
                   detail_size);
  }
  return ConvertFile(source, raw_layout, {.path = destination}, given_options, detail, detail_size);
}

// Checks a caller's pixel description; null when it is usable, else the reason.
const char* CheckPixels(const void* pixels, int width, int height, int channels, size_t row_stride) noexcept {
  if (pixels == nullptr) {
    return "pixels pointer is null";
  }
  if (width < 1 || height < 1) {
    return "width and height must be at least 1";
  }
  if (channels < 1 || channels > 4) {
    return "channels must be 1 to 4";
  }
  if (row_stride != 0 && row_stride < static_cast<size_t>(width) * static_cast<size_t>(channels)) {
    return "row stride is shorter than a row";
  }
  return nullptr;
}

TarveloStatus WritePixels(const void* pixels, int width, int height, int channels, size_t row_stride,
                          int given_layout, const Target& target, const TarveloOptions* given_options,
                          char* detail, size_t detail_size) noexcept {
  const LayoutEntry* layout = nullptr;
  TarveloOptions options;
  TarveloStatus status = TARVELO_STATUS_CONVERTED;
  if (!PrepareCall(given_layout, given_options, layout, options, status, detail, detail_size)) {
    return status;
  }
  if (const char* problem = CheckPixels(pixels, width, height, channels, row_stride); problem != nullptr) {
    return Invalid(problem, detail, detail_size);
  }
  const DecodedImage image{.width = width,
                           .height = height,
                           .channels = channels,
                           .pixels = static_cast<const uint8_t*>(pixels),
                           .row_stride = row_stride};
  return WriteToTarget(image, *layout, target, options, detail, detail_size);
}

void ClearBuffer(void** output, size_t* output_size) noexcept {
  if (output != nullptr) {
    *output = nullptr;
  }
  if (output_size != nullptr) {
    *output_size = 0;
  }
}

TarveloStatus FillInfo(const SourceInfo& source_info, TarveloImageInfo* info, char* detail,
                       size_t detail_size) noexcept {
  if (source_info.failure.failed()) {
    return SourceUnreadable(source_info.failure, source_info.format, detail, detail_size);
  }
  info->width = source_info.width;
  info->height = source_info.height;
  info->channels = source_info.channels;
  info->format = SourceFormatName(source_info.format);
  return TARVELO_STATUS_CONVERTED;
}

}  // namespace
}  // namespace tarvelo

extern "C" {

TARVELO_API TarveloStatus TarveloConvert(const char* source, const char* destination, TarveloLayout layout,
                                         char* detail, size_t detail_size) {
  return tarvelo::ConvertPaths(source, destination, tarvelo::RawValue(layout), nullptr, detail, detail_size);
}

TARVELO_API const char* TarveloStatusMessage(TarveloStatus status) {
  switch (tarvelo::RawValue(status)) {
    case TARVELO_STATUS_CONVERTED: return "converted";
    case TARVELO_STATUS_SOURCE_UNREADABLE: return "source unreadable";
    case TARVELO_STATUS_DESTINATION_UNOPENABLE: return "destination could not be opened";
    case TARVELO_STATUS_WRITE_FAILED: return "write failed";
    case TARVELO_STATUS_IMAGE_TOO_LARGE: return "image too large for the layout";
    case TARVELO_STATUS_INVALID_ARGUMENT: return "invalid argument";
    case TARVELO_STATUS_OUT_OF_MEMORY: return "out of memory";
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

TARVELO_API TarveloStatus TarveloConvertWithOptions(const char* source, const char* destination,
                                                    TarveloLayout layout, const TarveloOptions* options,
                                                    char* detail, size_t detail_size) {
  return tarvelo::ConvertPaths(source, destination, tarvelo::RawValue(layout), options, detail, detail_size);
}

TARVELO_API TarveloStatus TarveloConvertToFunc(const char* source, TarveloLayout layout,
                                               TarveloWriteFunc write, void* context,
                                               const TarveloOptions* options, char* detail,
                                               size_t detail_size) {
  using namespace tarvelo;
  CopyText("", detail, detail_size);
  if (source == nullptr || write == nullptr) {
    return Invalid(source == nullptr ? "source path is null" : "write function is null", detail, detail_size);
  }
  return ConvertFile(source, RawValue(layout), {.function = write, .context = context}, options, detail,
                     detail_size);
}

TARVELO_API TarveloStatus TarveloConvertMemory(const void* data, size_t size, const char* destination,
                                               TarveloLayout layout, const TarveloOptions* options,
                                               char* detail, size_t detail_size) {
  using namespace tarvelo;
  CopyText("", detail, detail_size);
  if (data == nullptr || destination == nullptr) {
    return Invalid(data == nullptr ? "source data is null" : "destination path is null", detail, detail_size);
  }
  return ConvertMemory(data, size, RawValue(layout), {.path = destination}, options, detail, detail_size);
}

TARVELO_API TarveloStatus TarveloConvertMemoryToFunc(const void* data, size_t size, TarveloLayout layout,
                                                     TarveloWriteFunc write, void* context,
                                                     const TarveloOptions* options, char* detail,
                                                     size_t detail_size) {
  using namespace tarvelo;
  CopyText("", detail, detail_size);
  if (data == nullptr || write == nullptr) {
    return Invalid(data == nullptr ? "source data is null" : "write function is null", detail, detail_size);
  }
  return ConvertMemory(data, size, RawValue(layout), {.function = write, .context = context}, options, detail,
                       detail_size);
}

TARVELO_API TarveloStatus TarveloConvertMemoryToBuffer(const void* data, size_t size, TarveloLayout layout,
                                                       void** output, size_t* output_size,
                                                       const TarveloOptions* options, char* detail,
                                                       size_t detail_size) {
  using namespace tarvelo;
  CopyText("", detail, detail_size);
  ClearBuffer(output, output_size);
  if (data == nullptr || output == nullptr || output_size == nullptr) {
    return Invalid(data == nullptr ? "source data is null" : "output pointer is null", detail, detail_size);
  }
  return ConvertMemory(data, size, RawValue(layout), {.buffer = output, .buffer_size = output_size}, options,
                       detail, detail_size);
}

TARVELO_API TarveloStatus TarveloWritePixels(const void* pixels, int width, int height, int channels,
                                             size_t row_stride, const char* destination, TarveloLayout layout,
                                             const TarveloOptions* options, char* detail,
                                             size_t detail_size) {
  using namespace tarvelo;
  CopyText("", detail, detail_size);
  if (destination == nullptr) {
    return Invalid("destination path is null", detail, detail_size);
  }
  return WritePixels(pixels, width, height, channels, row_stride, RawValue(layout), {.path = destination},
                     options, detail, detail_size);
}

TARVELO_API TarveloStatus TarveloWritePixelsToFunc(const void* pixels, int width, int height, int channels,
                                                   size_t row_stride, TarveloLayout layout,
                                                   TarveloWriteFunc write, void* context,
                                                   const TarveloOptions* options, char* detail,
                                                   size_t detail_size) {
  using namespace tarvelo;
  CopyText("", detail, detail_size);
  if (write == nullptr) {
    return Invalid("write function is null", detail, detail_size);
  }
  return WritePixels(pixels, width, height, channels, row_stride, RawValue(layout),
                     {.function = write, .context = context}, options, detail, detail_size);
}

TARVELO_API TarveloStatus TarveloWritePixelsToBuffer(const void* pixels, int width, int height, int channels,
                                                     size_t row_stride, TarveloLayout layout, void** output,
                                                     size_t* output_size, const TarveloOptions* options,
                                                     char* detail, size_t detail_size) {
  using namespace tarvelo;
  CopyText("", detail, detail_size);
  ClearBuffer(output, output_size);
  if (output == nullptr || output_size == nullptr) {
    return Invalid("output pointer is null", detail, detail_size);
  }
  return WritePixels(pixels, width, height, channels, row_stride, RawValue(layout),
                     {.buffer = output, .buffer_size = output_size}, options, detail, detail_size);
}

TARVELO_API void TarveloFree(void* buffer) { std::free(buffer); }

TARVELO_API TarveloStatus TarveloReadInfo(const char* source, TarveloImageInfo* info, char* detail,
                                          size_t detail_size) {
  using namespace tarvelo;
  CopyText("", detail, detail_size);
  if (info != nullptr) {
    *info = {};
  }
  if (source == nullptr || info == nullptr) {
    return Invalid(source == nullptr ? "source path is null" : "info pointer is null", detail, detail_size);
  }
  return FillInfo(ReadSourceInfoFile(source), info, detail, detail_size);
}

TARVELO_API TarveloStatus TarveloReadInfoMemory(const void* data, size_t size, TarveloImageInfo* info,
                                                char* detail, size_t detail_size) {
  using namespace tarvelo;
  CopyText("", detail, detail_size);
  if (info != nullptr) {
    *info = {};
  }
  if (data == nullptr || info == nullptr) {
    return Invalid(data == nullptr ? "source data is null" : "info pointer is null", detail, detail_size);
  }
  return FillInfo(ReadSourceInfoMemory(static_cast<const uint8_t*>(data), size), info, detail, detail_size);
}

TARVELO_API TarveloStatus TarveloLayoutFromName(const char* file_name, TarveloLayout* layout) {
  const tarvelo::LayoutEntry* entry = tarvelo::FindLayoutByName(file_name);
  if (entry == nullptr || layout == nullptr) {
    return TARVELO_STATUS_INVALID_ARGUMENT;
  }
  *layout = static_cast<TarveloLayout>(entry->layout);
  return TARVELO_STATUS_CONVERTED;
}

}  // extern "C"
