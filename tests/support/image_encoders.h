#pragma once

#include <string>

#include "test_images.h"

namespace tarvelo::test {

// Source files written by stb_image_write, an encoder independent of the library.
// Each returns false when the encoder fails.
bool WritePng(const std::string& path, const Image& image);
bool WriteBmp(const std::string& path, const Image& image);  // 24-bit, or 32-bit for alpha
bool WriteTga(const std::string& path, const Image& image, bool rle);
bool WriteJpeg(const std::string& path, const Image& image, int quality);
bool WriteHdr(const std::string& path, const Image& image);  // pixels / 255 as linear floats

}  // namespace tarvelo::test
