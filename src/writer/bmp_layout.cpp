#include <cstdint>
#include <limits>

#include "writer/image_file_writer.h"
#include "writer/output_layouts.h"

namespace tarvelo {

bool PlanBmpFile(const DecodedImage& image, LayoutPlan& plan) noexcept {
  constexpr int64_t kHeaderBytes = 54;
  // Rows of 3 * width bytes padded to a multiple of four.
  const int32_t pad = image.width % 4;
  const int64_t row_bytes = int64_t{3} * image.width + pad;
  // Compared by division: the product of two large sides overflows even 64 bits.
  constexpr int64_t kMaxPixelBytes = int64_t{std::numeric_limits<uint32_t>::max()} - kHeaderBytes;
  if (image.height > 0 && row_bytes > kMaxPixelBytes / image.height) {
    return false;
  }
  const int64_t file_size = kHeaderBytes + row_bytes * image.height;
  plan.field_template = "11 4 22 44 44 22 444444";
  plan.value_storage = {
      'B', 'M',
      // The field is 32 bits unsigned; values over INT32_MAX keep their low 32 bits.
      static_cast<int32_t>(static_cast<uint32_t>(file_size)), 0, 0,  // reserved
      kHeaderBytes, 40,                  // pixel data offset, information header size
      image.width, image.height, 1, 24,  // planes, bits per pixel
      0, 0, 0, 0, 0, 0,                  // compression, image size, resolutions, colours
  };
  plan.value_count = 17;
  plan.params = {.channel_direction = -1, .vertical_direction = -1, .alpha_mode = 0, .row_pad = pad};
  plan.file_size = static_cast<uint64_t>(file_size);
  return true;
}

int WriteBmpFile(const char* destination_path, const DecodedImage& image, WriteFailure* failure,
                 const WriteSettings& settings) noexcept {
  LayoutPlan plan;
  if (!PlanBmpFile(image, plan)) {
    if (failure != nullptr) {
      *failure = {WriteFailureKind::kTooLarge, 0};
    }
    return 0;
  }
  return WriteImageFile(destination_path, plan.params, image, plan.field_template, plan.values(), failure,
                        settings);
}

}  // namespace tarvelo
