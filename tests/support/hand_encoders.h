#pragma once

#include <string>

#include "test_images.h"

namespace tarvelo::test {

// Source files in formats stb_image_write cannot produce, written by hand from the
// formats' own definitions. Each returns false when the image does not fit the
// format (channel count, number of colours) or the file cannot be written.

// Indexed PNG (colour type 3) of a 3- or 4-channel image with at most 256 colours;
// a 4-channel image gets a tRNS chunk with each palette entry's alpha.
bool WritePalettePng(const std::string& path, const Image& image);

// 16 bits per sample, any channel count. The high byte of each sample is the
// image's value; the low byte holds noise that an 8-bit reading must drop.
bool WritePng16(const std::string& path, const Image& image);

// GIF89a of a 3-channel image with at most 256 colours. The LZW stream holds only
// literal codes, with a clear code often enough that the code size stays 9 bits.
bool WriteGif(const std::string& path, const Image& image);

// Binary PNM: P5 (grey) for 1 channel, P6 for 3, maximum value 255.
bool WritePnm(const std::string& path, const Image& image);

// PSD of a 3- or 4-channel image: RGB colour mode, 8 bits, raw planes (compression 0).
bool WritePsd(const std::string& path, const Image& image);

}  // namespace tarvelo::test
