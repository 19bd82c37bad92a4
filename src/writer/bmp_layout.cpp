#include <array>
#include <cstdint>
#include <limits>

#include "writer/field_template.h"
#include "writer/image_file_writer.h"
#include "writer/output_layouts.h"

namespace tarvelo {
namespace {

constexpr const char* kBmpFields = "11 4 22 44 44 22 444444";
constexpr size_t kBmpValueCount = 17;
constexpr int64_t kHeaderBytes = static_cast<int64_t>(FieldsSize(kBmpFields, kBmpValueCount));

}  // namespace

bool PlanBmpFile(const DecodedImage& image, LayoutPlan& plan) noexcept {
  // Rows of 3 * width bytes padded to a multiple of four.
  const int32_t pad = image.width % 4;
  const int64_t row_bytes = int64_t{3} * image.width + pad;
  // Compared by division: the product of two large sides overflows even 64 bits.
  constexpr int64_t kMaxPixelBytes = int64_t{std::numeric_limits<uint32_t>::max()} - kHeaderBytes;
  if (image.height > 0 && row_bytes > kMaxPixelBytes / image.height) {
    return false;
  }
  const int64_t file_size = kHeaderBytes + row_bytes * image.height;
  const std::array<int32_t, kBmpValueCount> values = {
      'B', 'M',
      // The field is 32 bits unsigned; values over INT32_MAX keep their low 32 bits.
      static_cast<int32_t>(static_cast<uint32_t>(file_size)), 0, 0,  // reserved
      kHeaderBytes, 40,                  // pixel data offset, information header size
      image.width, image.height, 1, 24,  // planes, bits per pixel
      0, 0, 0, 0, 0, 0,                  // compression, image size, resolutions, colours
  };
  const PixelStreamParams params{
      .channel_direction = -1, .vertical_direction = -1, .alpha_mode = 0, .row_pad = pad};
  return PlanImage(kBmpFields, values, params, image, plan);
}

}  // namespace tarvelo
