#include "TarveloImageTGA.h"

#include <cstdint>

#include "api/narrow_path.h"
#include "convert/decode_source.h"
#include "convert/write_target.h"

namespace tarvelo {
namespace {

// The frozen exports' result: callers compare against it, so it never changes.
constexpr int32_t kExportResult = 999;

int32_t ConvertWidePaths(const wchar_t* source_path, const wchar_t* destination_path,
                         Layout layout) noexcept {
  NarrowedPath source;
  NarrowPath(source_path, source);
  // A null or over-long source converts nothing; the decoder is never asked.
  if (source.c_str() == nullptr) {
    return kExportResult;
  }
  const DecodeResult decoded = DecodeImageFile(source.c_str());
  if (!decoded.ok()) {
    return kExportResult;  // nothing decoded: nothing may be written
  }
  // The destination is narrowed only once the source has decoded.
  NarrowedPath destination;
  NarrowPath(destination_path, destination);
  if (destination.c_str() != nullptr) {
    WriteFailure ignored;
    WriteToTarget(decoded.image, LayoutOf(layout), {.path = destination.c_str()}, {}, ignored);
  }
  return kExportResult;
}

}  // namespace
}  // namespace tarvelo

extern "C" {

TARVELO_API int32_t BMP2TGA(const wchar_t* SourcePath, const wchar_t* DestinationPath) {
  return tarvelo::ConvertWidePaths(SourcePath, DestinationPath, tarvelo::Layout::kTga);
}

TARVELO_API int32_t TGA2BMP(const wchar_t* SourcePath, const wchar_t* DestinationPath) {
  return tarvelo::ConvertWidePaths(SourcePath, DestinationPath, tarvelo::Layout::kBmp);
}

}  // extern "C"
