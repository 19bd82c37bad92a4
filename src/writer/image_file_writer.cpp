#include "writer/image_file_writer.h"

#include <algorithm>
#include <cerrno>

#include "writer/byte_sink.h"
#include "writer/field_template.h"

namespace tarvelo {
namespace {

// Overlapped writing pays a thread start and a wake-up of the other core for each
// block. For a small file that costs more than the overlap saves; from this size
// on the overlap wins (bench/RESULTS.md).
constexpr uint64_t kOverlapFrom = uint64_t{16} << 20;

// Emits the header and the rows into a sink on `output` and hands everything over.
bool EmitPlan(const LayoutPlan& plan, const DecodedImage& image, ByteOutput& output, WriteFailure& outcome,
              const WriteSettings& settings) noexcept {
  const bool overlap = settings.allow_threads && PixelRowsSize(plan.params, image) >= kOverlapFrom;
  ByteSink sink(output, overlap ? ByteSink::Mode::kOverlapped : ByteSink::Mode::kDirect);
  if (!sink.ready()) {
    outcome = {WriteFailureKind::kWriteFailed, ENOMEM};
    return false;
  }
  EmitFields(sink, plan.field_template, plan.values());
  EmitPixelRows(sink, plan.params, image);
  if (!sink.Flush()) {
    outcome = {WriteFailureKind::kWriteFailed, sink.error_number()};
    return false;
  }
  return true;
}

}  // namespace

bool PlanImage(const char* field_template, std::span<const int32_t> values, const PixelStreamParams& params,
               const DecodedImage& image, LayoutPlan& plan) noexcept {
  if (values.size() > plan.value_storage.size()) {
    return false;
  }
  plan.field_template = field_template;
  std::copy(values.begin(), values.end(), plan.value_storage.begin());
  plan.value_count = values.size();
  plan.params = params;
  plan.file_size = FieldsSize(field_template, values.size()) + PixelRowsSize(params, image);
  return true;
}

int WritePlan(const LayoutPlan& plan, const DecodedImage& image, ByteOutput& output, WriteFailure* failure,
              const WriteSettings& settings) noexcept {
  WriteFailure local;
  WriteFailure& outcome = failure != nullptr ? *failure : local;
  outcome = {};
  if (!output.Begin(plan.file_size, outcome)) {
    return 0;
  }
  if (!EmitPlan(plan, image, output, outcome, settings)) {
    return 0;  // a destination file's temporary file goes with the output
  }
  return output.Finish(outcome) ? 1 : 0;
}

}  // namespace tarvelo
