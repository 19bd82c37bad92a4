#include "api/write_layout.h"

namespace tarvelo {

int WriteLayout(Layout layout, const char* destination_path, const DecodedImage& image, WriteFailure* failure,
                const WriteSettings& settings) noexcept {
  return layout == Layout::kTga ? WriteTgaFile(destination_path, image, failure, settings)
                                : WriteBmpFile(destination_path, image, failure, settings);
}

bool PlanLayout(Layout layout, const DecodedImage& image, LayoutPlan& plan) noexcept {
  return layout == Layout::kTga ? PlanTgaFile(image, plan) : PlanBmpFile(image, plan);
}

int WriteLayoutTo(const LayoutPlan& plan, ByteOutput& output, const DecodedImage& image,
                  WriteFailure* failure, const WriteSettings& settings) noexcept {
  return WriteImage(output, plan.params, image, plan.field_template, plan.values(), failure, settings);
}

}  // namespace tarvelo
