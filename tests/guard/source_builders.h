#pragma once

#include <string>

#include "file_bytes.h"
#include "test_images.h"

// Source files of every format the decoder reads, made here byte by byte (or by the
// independent encoder), and the hostile variants the input guard must refuse.
namespace tarvelo::test {

// Valid sources.
Bytes EncodePng(const Image& image);
// Grey levels as palette indices; a palette of `entries` colours (0: all 2^bits).
Bytes EncodePalettePng(const Image& image, int bits, int entries = 0, bool interlaced = false);
Bytes EncodeBmp(const Image& image);                   // 24-bit, or 32-bit with alpha
Bytes EncodeIndexedBmp(const Image& image, int bits);  // 1, 4 or 8 bits per pixel
Bytes EncodeTopDownBmp(const Image& image);            // negative height
Bytes EncodeBitfieldBmp(const Image& image);           // 16-bit 5-6-5 masks
Bytes EncodeTga(const Image& image, bool rle);
Bytes EncodeIndexedTga(const Image& image, bool rle);
Bytes EncodeJpeg(const Image& image, int quality);
Bytes EncodeGif(const Image& image);  // 3-3-2 colour cube; alpha below 128 transparent
Bytes EncodePsd(const Image& image, bool rle);
Bytes EncodePic(const Image& image, bool rle);
Bytes EncodePnm(const Image& image, bool sixteen_bit);
Bytes EncodeHdr(const Image& image);  // run-length from 8 pixels wide, flat below
// A 16-bit PNG of `image` (each byte repeated), optionally Adam7-interlaced.
Bytes EncodeDeepPng(const Image& image, bool interlaced);
// Only a PNG's signature and IHDR (8 bits, colour type of `channels`), then an
// empty image: a header that claims a size.
Bytes PngHeaderOnly(uint32_t width, uint32_t height, int channels);

// A named source of some format.
struct NamedSource {
  std::string name;  // file name, extension included
  Bytes bytes;
};

// Valid sources of every format and variant in several sizes.
std::vector<NamedSource> ValidSources();

// One hostile source per class the guard refuses, with the reason it must give.
struct HostileSource {
  std::string name;
  Bytes bytes;
  std::string reason;
};
std::vector<HostileSource> HostileSources();

}  // namespace tarvelo::test
