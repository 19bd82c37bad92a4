#include "expected_layouts.h"

#include <cstdint>

#include "byte_writers.h"

namespace tarvelo::test {

Bytes ExpectedTgaFile(const Image& image) {
  const bool alpha = image.channels == 2 || image.channels == 4;
  Bytes tga = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  Put16Le(tga, static_cast<uint32_t>(image.width));
  Put16Le(tga, static_cast<uint32_t>(image.height));
  tga.push_back(alpha ? 32 : 24);
  tga.push_back(alpha ? 8 : 0);
  for (int y = image.height - 1; y >= 0; --y) {
    for (int x = 0; x < image.width; ++x) {
      const uint8_t* p = image.Pixel(x, y);
      if (image.channels <= 2) {
        tga.insert(tga.end(), {p[0], p[0], p[0]});
      } else {
        tga.insert(tga.end(), {p[2], p[1], p[0]});
      }
      if (alpha) {
        tga.push_back(p[image.channels - 1]);
      }
    }
  }
  return tga;
}

Bytes ExpectedBmpFile(const Image& image) {
  const int row_bytes = 3 * image.width;
  const int pad = (4 - row_bytes % 4) % 4;
  Bytes bmp = {'B', 'M'};
  Put32Le(bmp, static_cast<uint32_t>(54 + (row_bytes + pad) * image.height));
  Put32Le(bmp, 0);   // two reserved fields
  Put32Le(bmp, 54);  // pixel data offset
  Put32Le(bmp, 40);  // information header size
  Put32Le(bmp, static_cast<uint32_t>(image.width));
  Put32Le(bmp, static_cast<uint32_t>(image.height));
  Put16Le(bmp, 1);   // planes
  Put16Le(bmp, 24);  // bits per pixel
  bmp.insert(bmp.end(), 24, 0);
  for (int y = image.height - 1; y >= 0; --y) {
    for (int x = 0; x < image.width; ++x) {
      uint8_t pixel[3];
      ExpectedBmpPixel(image, x, y, pixel);
      bmp.insert(bmp.end(), pixel, pixel + 3);
    }
    bmp.insert(bmp.end(), static_cast<size_t>(pad), 0);
  }
  return bmp;
}

}  // namespace tarvelo::test
