#include <array>
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
  const std::array<int32_t, 12> values = {
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
  const PixelStreamParams params{
      .channel_direction = -1, .vertical_direction = -1, .alpha_mode = has_alpha, .row_pad = 0};
  return PlanImage("111 221 2222 11", values, params, image, plan);
}

}  // namespace tarvelo
