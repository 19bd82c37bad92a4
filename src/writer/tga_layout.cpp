#include <cstdint>

#include "writer/image_file_writer.h"
#include "writer/output_layouts.h"

namespace tarvelo {

bool PlanTgaFile(const DecodedImage& image, LayoutPlan& plan) noexcept {
  // The 16-bit size fields would silently wrap: refuse before anything is opened.
  if (image.width > kTgaMaxSide || image.height > kTgaMaxSide) {
    return false;
  }
  const int32_t has_alpha = (image.channels % 2 == 0) ? 1 : 0;
  plan.field_template = "111 221 2222 11";
  plan.value_storage = {
      0,  // image ID length
      0,  // colour-map type: none
      2,  // image type: uncompressed true-colour
      0,
      0,
      0,  // colour-map first entry, length, entry size
      0,
      0,  // x and y origin
      image.width,
      image.height,
      24 + 8 * has_alpha,  // bits per pixel
      8 * has_alpha,       // descriptor: alpha bits; bit 5 clear, bottom-left origin
  };
  plan.value_count = 12;
  plan.params = {.channel_direction = -1, .vertical_direction = -1, .alpha_mode = has_alpha, .row_pad = 0};
  plan.file_size =
      FieldTemplateSize(plan.field_template, plan.value_count) + PixelRowsSize(plan.params, image);
  return true;
}

int WriteTgaFile(const char* destination_path, const DecodedImage& image, WriteFailure* failure,
                 const WriteSettings& settings) noexcept {
  LayoutPlan plan;
  if (!PlanTgaFile(image, plan)) {
    if (failure != nullptr) {
      *failure = {WriteFailureKind::kTooLarge, 0};
    }
    return 0;
  }
  return WriteImageFile(destination_path, plan.params, image, plan.field_template, plan.values(), failure,
                        settings);
}

}  // namespace tarvelo
