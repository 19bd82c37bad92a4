#include "expected_layouts.h"

#include <cstdint>

namespace tarvelo::test {
namespace {

void PutLe(Bytes& out, uint32_t value, int size) {
  for (int i = 0; i < size; ++i) {
    out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
}

}  // namespace

Bytes ExpectedTgaFile(const Image& image) {
  const bool alpha = image.channels == 2 || image.channels == 4;
  Bytes tga = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  PutLe(tga, static_cast<uint32_t>(image.width), 2);
  PutLe(tga, static_cast<uint32_t>(image.height), 2);
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
  PutLe(bmp, static_cast<uint32_t>(54 + (row_bytes + pad) * image.height), 4);
  PutLe(bmp, 0, 4);   // two reserved fields
  PutLe(bmp, 54, 4);  // pixel data offset
  PutLe(bmp, 40, 4);  // information header size
  PutLe(bmp, static_cast<uint32_t>(image.width), 4);
  PutLe(bmp, static_cast<uint32_t>(image.height), 4);
  PutLe(bmp, 1, 2);   // planes
  PutLe(bmp, 24, 2);  // bits per pixel
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
