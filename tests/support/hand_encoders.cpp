#include "hand_encoders.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "byte_writers.h"
#include "file_bytes.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_image_write.h>

namespace tarvelo::test {
namespace {

bool Save(const std::string& path, const Bytes& bytes) {
  try {
    WriteFileBytes(path, bytes);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// A whole PNG from already-filtered scanlines (each row starts with filter byte 0).
bool SavePng(const std::string& path, const Image& image, uint8_t bit_depth, uint8_t colour_type,
             const Bytes& palette, const Bytes& transparency, Bytes scanlines) {
  int compressed_size = 0;
  unsigned char* compressed =
      stbi_zlib_compress(scanlines.data(), static_cast<int>(scanlines.size()), &compressed_size, 8);
  if (compressed == nullptr) {
    return false;
  }
  const Bytes zlib(compressed, compressed + compressed_size);
  std::free(compressed);

  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes header;
  Put32Be(header, static_cast<uint32_t>(image.width));
  Put32Be(header, static_cast<uint32_t>(image.height));
  header.insert(header.end(), {bit_depth, colour_type, 0, 0, 0});
  PutPngChunk(png, "IHDR", header);
  if (!palette.empty()) {
    PutPngChunk(png, "PLTE", palette);
  }
  if (!transparency.empty()) {
    PutPngChunk(png, "tRNS", transparency);
  }
  PutPngChunk(png, "IDAT", zlib);
  PutPngChunk(png, "IEND", {});
  return Save(path, png);
}

// Palette indices for each pixel, in order of first appearance; false when the
// image has more than 256 distinct colours.
bool IndexColours(const Image& image, std::vector<Bytes>& colours, Bytes& indices) {
  std::map<uint32_t, uint8_t> index_of;  // key: the pixel's channels packed, at most four
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const uint8_t* p = image.Pixel(x, y);
      uint32_t key = 0;
      for (int c = 0; c < image.channels; ++c) {
        key = (key << 8U) | p[c];
      }
      auto found = index_of.find(key);
      if (found == index_of.end()) {
        if (colours.size() == 256) {
          return false;
        }
        found = index_of.emplace(key, static_cast<uint8_t>(colours.size())).first;
        colours.emplace_back(p, p + image.channels);
      }
      indices.push_back(found->second);
    }
  }
  return true;
}

}  // namespace

bool WritePalettePng(const std::string& path, const Image& image) {
  if (image.channels != 3 && image.channels != 4) {
    return false;
  }
  std::vector<Bytes> colours;
  Bytes indices;
  if (!IndexColours(image, colours, indices)) {
    return false;
  }
  Bytes palette;
  Bytes transparency;
  for (const Bytes& colour : colours) {
    palette.insert(palette.end(), colour.begin(), colour.begin() + 3);
    if (image.channels == 4) {
      transparency.push_back(colour[3]);
    }
  }
  Bytes scanlines;
  for (int y = 0; y < image.height; ++y) {
    scanlines.push_back(0);
    const auto row = indices.begin() + static_cast<std::ptrdiff_t>(y) * image.width;
    scanlines.insert(scanlines.end(), row, row + image.width);
  }
  return SavePng(path, image, 8, 3, palette, transparency, std::move(scanlines));
}

bool WritePng16(const std::string& path, const Image& image) {
  static constexpr uint8_t kColourType[] = {0, 4, 2, 6};  // grey, grey+alpha, RGB, RGBA
  if (image.channels < 1 || image.channels > 4) {
    return false;
  }
  Bytes scanlines;
  for (int y = 0; y < image.height; ++y) {
    scanlines.push_back(0);
    for (int i = 0; i < image.width * image.channels; ++i) {
      const uint8_t value = image.Pixel(0, y)[i];
      scanlines.push_back(value);
      scanlines.push_back(static_cast<uint8_t>((value * 37U + static_cast<unsigned>(i)) ^ 0xA5U));
    }
  }
  return SavePng(path, image, 16, kColourType[image.channels - 1], {}, {}, std::move(scanlines));
}

bool WriteGif(const std::string& path, const Image& image) {
  std::vector<Bytes> colours;
  Bytes indices;
  if (image.channels != 3 || !IndexColours(image, colours, indices)) {
    return false;
  }
  Bytes gif = {'G', 'I', 'F', '8', '9', 'a'};
  Put16Le(gif, static_cast<uint32_t>(image.width));
  Put16Le(gif, static_cast<uint32_t>(image.height));
  gif.insert(gif.end(), {0xF7, 0, 0});  // global table of 256 entries, background 0, no aspect
  for (size_t i = 0; i < 256; ++i) {
    const Bytes colour = i < colours.size() ? colours[i] : Bytes{0, 0, 0};
    gif.insert(gif.end(), colour.begin(), colour.end());
  }
  gif.push_back(0x2C);  // image descriptor: whole screen, no local table, not interlaced
  Put16Le(gif, 0);
  Put16Le(gif, 0);
  Put16Le(gif, static_cast<uint32_t>(image.width));
  Put16Le(gif, static_cast<uint32_t>(image.height));
  gif.push_back(0);
  gif.push_back(8);  // LZW minimum code size

  PutGifImageData(gif, indices);
  gif.push_back(0);     // end of the image data
  gif.push_back(0x3B);  // trailer
  return Save(path, gif);
}

bool WritePnm(const std::string& path, const Image& image) {
  if (image.channels != 1 && image.channels != 3) {
    return false;
  }
  Bytes pnm;
  Append(pnm, (image.channels == 1 ? "P5\n" : "P6\n") + std::to_string(image.width) + " " +
                  std::to_string(image.height) + "\n255\n");
  pnm.insert(pnm.end(), image.pixels.begin(), image.pixels.end());
  return Save(path, pnm);
}

bool WritePsd(const std::string& path, const Image& image) {
  if (image.channels != 3 && image.channels != 4) {
    return false;
  }
  Bytes psd = {'8', 'B', 'P', 'S'};
  Put16Be(psd, 1);  // version
  psd.insert(psd.end(), 6, 0);
  Put16Be(psd, static_cast<uint32_t>(image.channels));
  Put32Be(psd, static_cast<uint32_t>(image.height));
  Put32Be(psd, static_cast<uint32_t>(image.width));
  Put16Be(psd, 8);  // bits per channel
  Put16Be(psd, 3);  // RGB colour mode
  Put32Be(psd, 0);  // colour mode data length
  Put32Be(psd, 0);  // image resources length
  Put32Be(psd, 0);  // layer and mask information length
  Put16Be(psd, 0);  // raw image data
  // Planar: every pixel's red, then every pixel's green, and so on.
  for (int channel = 0; channel < image.channels; ++channel) {
    for (size_t i = static_cast<size_t>(channel); i < image.pixels.size();
         i += static_cast<size_t>(image.channels)) {
      psd.push_back(image.pixels[i]);
    }
  }
  return Save(path, psd);
}

}  // namespace tarvelo::test
