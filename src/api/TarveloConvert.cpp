#include "TarveloConvert.h"

#include <cstdlib>
#include <cstring>

#include "convert/conversion.h"
#include "platform/text_copy.h"
#include "writer/layouts.h"

extern "C" {

TARVELO_API TarveloStatus TarveloConvert(const char* source, const char* destination, TarveloLayout layout,
                                         char* detail, size_t detail_size) {
  TarveloResult result;
  if (source == nullptr || destination == nullptr) {
    tarvelo::Report(result, TARVELO_STATUS_INVALID_ARGUMENT,
                    source == nullptr ? "source path is null" : "destination path is null");
  } else {
    TarveloSource from{};
    from.kind = TARVELO_SOURCE_FILE;
    from.path = source;
    TarveloOutput to{};
    to.kind = TARVELO_OUTPUT_FILE;
    to.path = destination;
    int raw_layout = 0;
    std::memcpy(&raw_layout, &layout, sizeof raw_layout);  // a C caller's int, maybe no enumerator
    tarvelo::Convert(&from, to, raw_layout, nullptr, result);
  }
  tarvelo::CopyText(result.detail, detail, detail_size);
  return result.status;
}

TARVELO_API TarveloStatus TarveloConvertImage(const TarveloSource* source, TarveloOutput* output,
                                              TarveloLayout layout, const TarveloOptions* options,
                                              TarveloResult* result) {
  TarveloResult ignored;
  TarveloResult& report = result != nullptr ? *result : ignored;
  if (output == nullptr) {
    return tarvelo::Report(report, TARVELO_STATUS_INVALID_ARGUMENT, "output is null");
  }
  int raw_layout = 0;
  std::memcpy(&raw_layout, &layout, sizeof raw_layout);
  return tarvelo::Convert(source, *output, raw_layout, options, report);
}

TARVELO_API TarveloStatus TarveloReadInfo(const TarveloSource* source, TarveloImageInfo* info,
                                          TarveloResult* result) {
  TarveloResult ignored;
  TarveloResult& report = result != nullptr ? *result : ignored;
  if (info != nullptr) {
    *info = {};
  }
  if (source == nullptr || info == nullptr) {
    return tarvelo::Report(report, TARVELO_STATUS_INVALID_ARGUMENT,
                           source == nullptr ? "source is null" : "info pointer is null");
  }
  return tarvelo::ReadInfo(*source, *info, report);
}

TARVELO_API const char* TarveloStatusMessage(TarveloStatus status) {
  int raw = 0;
  std::memcpy(&raw, &status, sizeof raw);
  switch (raw) {
    case TARVELO_STATUS_CONVERTED: return "converted";
    case TARVELO_STATUS_SOURCE_UNREADABLE: return "source unreadable";
    case TARVELO_STATUS_DESTINATION_UNOPENABLE: return "destination could not be opened";
    case TARVELO_STATUS_WRITE_FAILED: return "write failed";
    case TARVELO_STATUS_IMAGE_TOO_LARGE: return "image too large for the layout";
    case TARVELO_STATUS_INVALID_ARGUMENT: return "invalid argument";
    case TARVELO_STATUS_OUT_OF_MEMORY: return "out of memory";
    default: return "unknown status";
  }
}

TARVELO_API const char* TarveloLibraryVersion(void) { return TARVELO_VERSION_STRING; }

TARVELO_API void TarveloInitOptions(TarveloOptions* options) {
  if (options != nullptr) {
    *options = {};
    options->struct_size = sizeof(TarveloOptions);
  }
}

TARVELO_API void TarveloFree(void* buffer) { std::free(buffer); }

TARVELO_API TarveloStatus TarveloLayoutFromName(const char* file_name, TarveloLayout* layout) {
  const tarvelo::LayoutEntry* entry = tarvelo::FindLayoutByName(file_name);
  if (entry == nullptr || layout == nullptr) {
    return TARVELO_STATUS_INVALID_ARGUMENT;
  }
  *layout = static_cast<TarveloLayout>(entry->layout);
  return TARVELO_STATUS_CONVERTED;
}

TARVELO_API TarveloStatus TarveloLayoutNames(TarveloLayout layout, const char** name,
                                             const char** extension) {
  int value = 0;
  std::memcpy(&value, &layout, sizeof value);
  const tarvelo::LayoutEntry* entry = tarvelo::FindLayout(value);
  if (entry == nullptr) {
    return TARVELO_STATUS_INVALID_ARGUMENT;
  }
  if (name != nullptr) {
    *name = entry->name;
  }
  if (extension != nullptr) {
    *extension = entry->extension;
  }
  return TARVELO_STATUS_CONVERTED;
}

}  // extern "C"
