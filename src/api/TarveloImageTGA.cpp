#include "TarveloImageTGA.h"

#include <cstdint>

#include "convert/conversion.h"
#include "platform/file_system.h"

namespace tarvelo {
namespace {

// The frozen exports' result: callers compare against it, so it never changes.
constexpr int32_t kExportResult = 999;

int32_t ConvertWidePaths(const wchar_t* source_path, const wchar_t* destination_path,
                         TarveloLayout layout) noexcept {
  DecodeResult image;
  TarveloResult ignored;
  {
    const NarrowedPath source_file(source_path);
    const TarveloSource source{TARVELO_SOURCE_FILE, source_file.c_str(), nullptr, 0, 0, 0, 0, 0};
    // A null or over-long source converts nothing; the decoder is never asked.
    if (source.path == nullptr || !ReadImage(source, {}, image, ignored)) {
      return kExportResult;  // nothing decoded: nothing may be written
    }
  }
  // The destination is narrowed only once the source has decoded.
  const NarrowedPath destination(destination_path);
  if (destination.c_str() != nullptr) {
    TarveloOutput output{TARVELO_OUTPUT_FILE, destination.c_str(), nullptr, nullptr, nullptr, 0};
    WriteImage(image.image, layout, output, TarveloOptions{}, ignored);  // no threads, no callback
  }
  return kExportResult;
}

}  // namespace
}  // namespace tarvelo

extern "C" {

TARVELO_API int32_t BMP2TGA(const wchar_t* SourcePath, const wchar_t* DestinationPath) {
  return tarvelo::ConvertWidePaths(SourcePath, DestinationPath, TARVELO_LAYOUT_TGA);
}

TARVELO_API int32_t TGA2BMP(const wchar_t* SourcePath, const wchar_t* DestinationPath) {
  return tarvelo::ConvertWidePaths(SourcePath, DestinationPath, TARVELO_LAYOUT_BMP);
}

}  // extern "C"
