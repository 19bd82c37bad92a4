#include "convert/write_target.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "writer/destination_output.h"

namespace tarvelo {
namespace {

bool WriteToBuffer(const LayoutPlan& plan, const DecodedImage& image, const Target& target,
                   const WriteSettings& settings, WriteFailure& failure) noexcept {
  if (plan.file_size > SIZE_MAX) {
    failure = {WriteFailureKind::kWriteFailed, ENOMEM};
    return false;
  }
  const auto size = static_cast<size_t>(plan.file_size);
  auto* buffer = static_cast<uint8_t*>(std::malloc(size));
  if (buffer == nullptr) {
    failure = {WriteFailureKind::kWriteFailed, ENOMEM};
    return false;
  }
  BufferOutput output(buffer, size);
  if (WritePlan(plan, image, output, &failure, settings) != 1) {
    std::free(buffer);
    return false;
  }
  *target.buffer = buffer;
  *target.buffer_size = size;
  return true;
}

}  // namespace

bool WriteToTarget(const DecodedImage& image, const LayoutEntry& layout, const Target& target,
                   const WriteSettings& settings, WriteFailure& failure) noexcept {
  failure = {};
  LayoutPlan plan;
  if (!layout.plan(image, plan)) {
    failure = {WriteFailureKind::kTooLarge, 0};
    return false;
  }
  if (target.path != nullptr) {
    DestinationOutput output(target.path);
    return WritePlan(plan, image, output, &failure, settings) == 1;
  }
  if (target.function != nullptr) {
    CallbackOutput output(target.function, target.context);
    return WritePlan(plan, image, output, &failure, settings) == 1;
  }
  return WriteToBuffer(plan, image, target, settings, failure);
}

}  // namespace tarvelo
