#include "TarveloConvert.h"

#include <cstdlib>
#include <iterator>

#include "convert/conversion.h"
#include "platform/text_copy.h"
#include "writer/layouts.h"

using tarvelo::RawValue;

extern "C" {

TARVELO_API TarveloStatus TarveloConvert(const char* source, const char* destination, TarveloLayout layout,
                                         char* detail, size_t detail_size) {
  // Convert refuses a null path as a null path.
  const TarveloSource from{TARVELO_SOURCE_FILE, source, nullptr, 0, 0, 0, 0, 0};
  TarveloOutput to{TARVELO_OUTPUT_FILE, destination, nullptr, nullptr, nullptr, 0};
  TarveloResult result;
  tarvelo::Convert(&from, to, RawValue(layout), nullptr, result);
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
  return tarvelo::Convert(source, *output, RawValue(layout), options, report);
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
  // By the statuses' numbers, 0 on.
  static constexpr const char* kMessages[] = {"converted",
                                              "source unreadable",
                                              "destination could not be opened",
                                              "write failed",
                                              "image too large for the layout",
                                              "invalid argument",
                                              "out of memory"};
  const auto raw = static_cast<unsigned>(RawValue(status));
  return raw < std::size(kMessages) ? kMessages[raw] : "unknown status";
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
  const tarvelo::LayoutEntry* entry = tarvelo::FindLayout(RawValue(layout));
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
