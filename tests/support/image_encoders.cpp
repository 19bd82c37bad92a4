#include "image_encoders.h"

#include <vector>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_image_write.h>

namespace tarvelo::test {

bool WritePng(const std::string& path, const Image& image) {
  return stbi_write_png(path.c_str(), image.width, image.height, image.channels, image.pixels.data(),
                        image.width * image.channels) != 0;
}

bool WriteBmp(const std::string& path, const Image& image) {
  return stbi_write_bmp(path.c_str(), image.width, image.height, image.channels, image.pixels.data()) != 0;
}

bool WriteTga(const std::string& path, const Image& image, bool rle) {
  // The encoder keeps this setting process-wide: set it on every call, and do not
  // write TGA sources from several threads at once.
  stbi_write_tga_with_rle = rle ? 1 : 0;
  return stbi_write_tga(path.c_str(), image.width, image.height, image.channels, image.pixels.data()) != 0;
}

bool WriteJpeg(const std::string& path, const Image& image, int quality) {
  return stbi_write_jpg(path.c_str(), image.width, image.height, image.channels, image.pixels.data(),
                        quality) != 0;
}

bool WriteHdr(const std::string& path, const Image& image) {
  std::vector<float> linear(image.pixels.size());
  for (size_t i = 0; i < linear.size(); ++i) {
    linear[i] = static_cast<float>(image.pixels[i]) / 255.0F;
  }
  return stbi_write_hdr(path.c_str(), image.width, image.height, image.channels, linear.data()) != 0;
}

}  // namespace tarvelo::test
