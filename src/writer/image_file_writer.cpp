#include "image_file_writer.h"

#include <cerrno>

#include "byte_sink.h"
#include "destination_file.h"
#include "field_template.h"

namespace tarvelo {

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
  ByteSink sink(destination.stream());
  if (!sink.ready()) {
    outcome = {WriteFailureKind::kWriteFailed, ENOMEM};
    return 0;  // the destination's destructor removes the temporary file
  }
  destination.Preallocate(PixelRowsSize(params, image));  // the header's few bytes need no room set aside
  EmitFields(sink, field_template, values);
  EmitPixelRows(sink, params, image);
  if (!sink.Flush()) {
    outcome = {WriteFailureKind::kWriteFailed, sink.error_number()};
    return 0;
  }
  return destination.Commit(outcome) ? 1 : 0;
}

}  // namespace tarvelo
