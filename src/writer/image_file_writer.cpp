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

// Emits the header and the rows into a sink on `output` and hands everything over.
bool EmitImage(ByteOutput& output, const PixelStreamParams& params, const DecodedImage& image,
               const char* field_template, std::span<const int32_t> values, WriteFailure& outcome,
               const WriteSettings& settings) noexcept {
  const bool overlap = settings.allow_threads && PixelRowsSize(params, image) >= kOverlapFrom;
  ByteSink sink(output, overlap ? ByteSink::Mode::kOverlapped : ByteSink::Mode::kDirect);
  if (!sink.ready()) {
    outcome = {WriteFailureKind::kWriteFailed, ENOMEM};
    return false;
  }
  EmitFields(sink, field_template, values);
  EmitPixelRows(sink, params, image);
  if (!sink.Flush()) {
    outcome = {WriteFailureKind::kWriteFailed, sink.error_number()};
    return false;
  }
  return true;
}

}  // namespace

uint64_t FieldTemplateSize(const char* field_template, size_t value_count) noexcept {
  uint64_t size = 0;
  if (field_template == nullptr) {
    return 0;
  }
  for (const char* field = field_template; *field != '\0' && value_count > 0; ++field) {
    if (*field == ' ') {
      continue;
    }
    if (*field != '1' && *field != '2' && *field != '4') {
      break;
    }
    size += static_cast<uint64_t>(*field - '0');
    --value_count;
  }
  return size;
}

int WriteImage(ByteOutput& output, const PixelStreamParams& params, const DecodedImage& image,
               const char* field_template, std::span<const int32_t> values, WriteFailure* failure,
               const WriteSettings& settings) noexcept {
  WriteFailure local;
  WriteFailure& outcome = failure != nullptr ? *failure : local;
  outcome = {};
  return EmitImage(output, params, image, field_template, values, outcome, settings) ? 1 : 0;
}

int WriteImageFile(const char* destination_path, const PixelStreamParams& params, const DecodedImage& image,
                   const char* field_template, std::span<const int32_t> values, WriteFailure* failure,
                   const WriteSettings& settings) noexcept {
  WriteFailure local;
  WriteFailure& outcome = failure != nullptr ? *failure : local;
  outcome = {};

  DestinationFile destination;
  if (!destination.Open(destination_path, outcome)) {
    return 0;
  }
  // In place, the whole new size must be there before an old byte is overwritten.
  if (!destination.Reserve(FieldsSize(field_template, values) + PixelRowsSize(params, image), outcome)) {
    return 0;
  }
  StreamOutput output(destination.stream());
  if (!EmitImage(output, params, image, field_template, values, outcome, settings)) {
    return 0;  // the destination's destructor removes the temporary file
  }
  return destination.Commit(outcome) ? 1 : 0;
}

}  // namespace tarvelo
