#pragma once

#include "test_images.h"
#include "writer/pixel_rows.h"

namespace tarvelo::test {

// A test image as the writer takes it: a view of its pixels, which must outlive it.
inline DecodedImage View(const Image& image) {
  return {.width = image.width,
          .height = image.height,
          .channels = image.channels,
          .pixels = image.pixels.data()};
}

}  // namespace tarvelo::test
