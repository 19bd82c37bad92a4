#include "test_images.h"

namespace tarvelo::test {
namespace {

constexpr uint8_t kAlphas[] = {0, 1, 127, 128, 254, 255, 64, 200, 13};

bool InsideF(int x, int y, int width, int height) {
  const int column = x * 6 / (width > 0 ? width : 1);
  const int row = y * 5 / (height > 0 ? height : 1);
  return column == 1 || (row == 0 && column <= 4) || (row == 2 && column <= 3);
}

}  // namespace

Image MakeTestImage(int width, int height, int channels) {
  Image image{width, height, channels, {}};
  image.pixels.resize(static_cast<std::size_t>(width) * height * channels);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      auto* p = image.pixels.data() + (static_cast<std::size_t>(y) * width + x) * channels;
      const bool ink = InsideF(x, y, width, height);
      const auto red = static_cast<uint8_t>(ink ? 230 - (x % 7) : 10 + (y % 5));
      const auto green = static_cast<uint8_t>(40 + 17 * ((x + 2 * y) % 9));
      const auto blue = static_cast<uint8_t>(ink ? 20 + (y % 3) : 220 - (x % 11));
      const uint8_t alpha = kAlphas[(x + 3 * y) % (sizeof kAlphas)];
      switch (channels) {
        case 1: p[0] = static_cast<uint8_t>(ink ? 250 - x % 13 : 30 + 7 * ((x + y) % 20)); break;
        case 2:
          p[0] = static_cast<uint8_t>(ink ? 250 - x % 13 : 30 + 7 * ((x + y) % 20));
          p[1] = alpha;
          break;
        case 3:
          p[0] = red;
          p[1] = green;
          p[2] = blue;
          break;
        default:
          p[0] = red;
          p[1] = green;
          p[2] = blue;
          p[3] = alpha;
          break;
      }
    }
  }
  return image;
}

void ExpectedBmpPixel(const Image& image, int x, int y, uint8_t out[3]) {
  const uint8_t* p = image.Pixel(x, y);
  if (image.channels <= 2) {
    out[0] = out[1] = out[2] = p[0];
    return;
  }
  if (image.channels == 3) {
    out[0] = p[2];
    out[1] = p[1];
    out[2] = p[0];
    return;
  }
  // Flatten against magenta (255, 0, 255); C++ division truncates toward zero.
  const int background[3] = {255, 0, 255};
  int flat[3];
  for (int k = 0; k < 3; ++k) {
    flat[k] = background[k] + ((p[k] - background[k]) * p[3]) / 255;
  }
  out[0] = static_cast<uint8_t>(flat[2]);
  out[1] = static_cast<uint8_t>(flat[1]);
  out[2] = static_cast<uint8_t>(flat[0]);
}

}  // namespace tarvelo::test
