#include "reference_decoder.h"

#include <cstddef>

// A private copy (internal linkage), so it can never clash with the library's.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#include <stb/stb_image.h>

namespace tarvelo::test {

bool DecodeReference(const std::string& path, Image& image) {
  int width = 0;
  int height = 0;
  int channels = 0;
  stbi_uc* pixels = stbi_load(path.c_str(), &width, &height, &channels, 0);
  if (pixels == nullptr) {
    return false;
  }
  image = Image{width, height, channels, {}};
  image.pixels.assign(pixels, pixels + static_cast<std::size_t>(width) * height * channels);
  stbi_image_free(pixels);
  return true;
}

}  // namespace tarvelo::test
