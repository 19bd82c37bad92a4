#include "writer/image_file_writer.h"

#include <cerrno>

#include "writer/byte_sink.h"
#include "writer/destination_file.h"
#include "writer/field_template.h"

namespace tarvelo {
namespace {

// Overlapped writing pays a thread start and a wake-up of the other core for each
// block. For a small file that costs more than the overlap saves; from this size
// on the overlap wins (bench/RESULTS.md).
constexpr uint64_t kOverlapFrom = uint64_t{16} << 20;

}  // namespace

int WriteImageFile(const char* destination_path, const PixelStreamParams& params, const DecodedImage& image,
                   const char* field_template, std::span<const int32_t> values,
                   WriteFailure* failure) noexcept {
  WriteFailure local;
  WriteFailure& outcome = failure != nullptr ? *failure : local;
  outcome = {};

  DestinationFile destination;
  if (!destination.Open(destination_path, outcome)) {
    return 0;
  }
  const uint64_t pixel_bytes = PixelRowsSize(params, image);
  ByteSink sink(destination.stream(),
                pixel_bytes >= kOverlapFrom ? ByteSink::Mode::kOverlapped : ByteSink::Mode::kDirect);
  if (!sink.ready()) {
    outcome = {WriteFailureKind::kWriteFailed, ENOMEM};
    return 0;  // the destination's destructor removes the temporary file
  }
  destination.Preallocate(pixel_bytes);  // the header's few bytes need no room set aside
  EmitFields(sink, field_template, values);
  EmitPixelRows(sink, params, image);
  if (!sink.Flush()) {
    outcome = {WriteFailureKind::kWriteFailed, sink.error_number()};
    return 0;
  }
  return destination.Commit(outcome) ? 1 : 0;
}

}  // namespace tarvelo
