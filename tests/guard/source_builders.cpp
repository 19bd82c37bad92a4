#include "source_builders.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <stdexcept>

#include "byte_writers.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_image_write.h>

namespace tarvelo::test {
namespace {

void Collect(void* context, void* data, int size) {
  auto* out = static_cast<Bytes*>(context);
  const auto* bytes = static_cast<const uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

// Red, green, blue and alpha of a pixel, whatever its channel count.
std::array<uint8_t, 4> Rgba(const Image& image, int x, int y) {
  const uint8_t* p = image.Pixel(x, y);
  switch (image.channels) {
    case 1: return {p[0], p[0], p[0], 255};
    case 2: return {p[0], p[0], p[0], p[1]};
    case 3: return {p[0], p[1], p[2], 255};
    default: return {p[0], p[1], p[2], p[3]};
  }
}

bool HasAlpha(const Image& image) { return image.channels % 2 == 0; }

uint8_t Grey(const Image& image, int x, int y) { return Rgba(image, x, y)[0]; }

// Rows of indices packed most significant bits first, each row padded to `align`.
Bytes PackIndices(const Image& image, int bits, int y, size_t align) {
  Bytes row((static_cast<size_t>(image.width) * bits + 7) / 8, 0);
  for (int x = 0; x < image.width; ++x) {
    const uint32_t index = Grey(image, x, y) >> (8 - bits);
    const int bit = x * bits;
    row[static_cast<size_t>(bit / 8)] |= static_cast<uint8_t>(index << (8 - bits - bit % 8));
  }
  row.resize((row.size() + align - 1) / align * align, 0);
  return row;
}

// PackBits literal packets (at most 128 bytes each).
void PackBits(Bytes& out, const Bytes& data) {
  for (size_t start = 0; start < data.size(); start += 128) {
    const size_t length = std::min<size_t>(128, data.size() - start);
    out.push_back(static_cast<uint8_t>(length - 1));
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(start),
               data.begin() + static_cast<std::ptrdiff_t>(start + length));
  }
}

// Positions of the marker segments of a JPEG up to its first scan.
struct JpegSegment {
  size_t offset;  // of the 0xFF
  uint8_t marker;
  size_t length;  // the whole segment, marker included
};
std::vector<JpegSegment> JpegSegments(const Bytes& jpeg) {
  std::vector<JpegSegment> segments;
  for (size_t at = 2; at + 4 <= jpeg.size() && jpeg[at] == 0xFF;) {
    const size_t length = 2 + (size_t{jpeg[at + 2]} << 8U) + jpeg[at + 3];
    segments.push_back({at, jpeg[at + 1], length});
    if (jpeg[at + 1] == 0xDA) {
      break;
    }
    at += length;
  }
  return segments;
}
JpegSegment FindSegment(const Bytes& jpeg, uint8_t marker) {
  for (const JpegSegment& segment : JpegSegments(jpeg)) {
    if (segment.marker == marker) {
      return segment;
    }
  }
  throw std::runtime_error("JPEG segment not found");
}

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The default cap as a refusal names it.
const std::string kOverTheDefaultCap = std::string("image exceeds the decoded-size limit (") +
                                       (sizeof(void*) >= 8 ? "268435456" : "67108864") + " pixels)";

Bytes Truncated(Bytes bytes, size_t keep) {
  bytes.resize(std::min(keep, bytes.size()));
  return bytes;
}

}  // namespace

Bytes EncodePng(const Image& image) {
  Bytes out;
  stbi_write_png_to_func(Collect, &out, image.width, image.height, image.channels, image.pixels.data(),
                         image.width * image.channels);
  return out;
}

Bytes EncodePalettePng(const Image& image, int bits, int entries, bool interlaced) {
  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes header;
  Put32Be(header, static_cast<uint32_t>(image.width));
  Put32Be(header, static_cast<uint32_t>(image.height));
  Append(header, {static_cast<uint8_t>(bits), 3, 0, 0, static_cast<uint8_t>(interlaced ? 1 : 0)});
  PutPngChunk(out, "IHDR", header);
  Bytes palette;
  for (int i = 0; i < (entries > 0 ? entries : 1 << bits); ++i) {
    const auto level = static_cast<uint8_t>(i * 255 / ((1 << bits) - 1));
    Append(palette, {level, static_cast<uint8_t>(255 - level), static_cast<uint8_t>(level / 2)});
  }
  PutPngChunk(out, "PLTE", palette);
  Bytes raw;
  // Adam7 passes (or the whole image), each row with a filter byte; the filters
  // cycle through all five so that every one is exercised.
  static constexpr int kOriginX[7] = {0, 4, 0, 2, 0, 1, 0};
  static constexpr int kOriginY[7] = {0, 0, 4, 0, 2, 0, 1};
  static constexpr int kSpacingX[7] = {8, 8, 4, 4, 2, 2, 1};
  static constexpr int kSpacingY[7] = {8, 8, 8, 4, 4, 2, 2};
  int filter = 0;
  for (int pass = 0; pass < (interlaced ? 7 : 1); ++pass) {
    Image sub;
    sub.channels = 1;
    for (int y = interlaced ? kOriginY[pass] : 0; y < image.height; y += interlaced ? kSpacingY[pass] : 1) {
      ++sub.height;
      for (int x = interlaced ? kOriginX[pass] : 0; x < image.width; x += interlaced ? kSpacingX[pass] : 1) {
        sub.pixels.push_back(Grey(image, x, y));
      }
    }
    if (sub.height == 0 || sub.pixels.empty()) {
      continue;
    }
    sub.width = static_cast<int>(sub.pixels.size()) / sub.height;
    Bytes previous((static_cast<size_t>(sub.width) * bits + 7) / 8, 0);
    for (int y = 0; y < sub.height; ++y) {
      const Bytes row = PackIndices(sub, bits, y, 1);
      const uint8_t type = static_cast<uint8_t>(filter++ % 5);
      raw.push_back(type);
      for (size_t i = 0; i < row.size(); ++i) {
        const int left = i > 0 ? row[i - 1] : 0;
        const int above = previous[i];
        const int upper_left = i > 0 ? previous[i - 1] : 0;
        int predictor = 0;
        switch (type) {
          case 1: predictor = left; break;
          case 2: predictor = above; break;
          case 3: predictor = (left + above) / 2; break;
          case 4: {
            const int estimate = left + above - upper_left;
            const int a = std::abs(estimate - left);
            const int b = std::abs(estimate - above);
            const int c = std::abs(estimate - upper_left);
            predictor = (a <= b && a <= c) ? left : (b <= c ? above : upper_left);
            break;
          }
          default: break;
        }
        raw.push_back(static_cast<uint8_t>(row[i] - predictor));
      }
      previous = row;
    }
  }
  int compressed_size = 0;
  unsigned char* compressed =
      stbi_zlib_compress(raw.data(), static_cast<int>(raw.size()), &compressed_size, 8);
  PutPngChunk(out, "IDAT", Bytes(compressed, compressed + compressed_size));
  STBIW_FREE(compressed);
  PutPngChunk(out, "IEND", {});
  return out;
}

Bytes EncodeDeepPng(const Image& image, bool interlaced) {
  static constexpr uint8_t kColourType[5] = {0, 0, 4, 2, 6};
  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes header;
  Put32Be(header, static_cast<uint32_t>(image.width));
  Put32Be(header, static_cast<uint32_t>(image.height));
  Append(header, {16, kColourType[image.channels], 0, 0, static_cast<uint8_t>(interlaced ? 1 : 0)});
  PutPngChunk(out, "IHDR", header);
  static constexpr int kOriginX[7] = {0, 4, 0, 2, 0, 1, 0};
  static constexpr int kOriginY[7] = {0, 0, 4, 0, 2, 0, 1};
  static constexpr int kSpacingX[7] = {8, 8, 4, 4, 2, 2, 1};
  static constexpr int kSpacingY[7] = {8, 8, 8, 4, 4, 2, 2};
  Bytes raw;
  for (int pass = 0; pass < (interlaced ? 7 : 1); ++pass) {
    for (int y = interlaced ? kOriginY[pass] : 0; y < image.height; y += interlaced ? kSpacingY[pass] : 1) {
      if (interlaced && kOriginX[pass] >= image.width) {
        break;
      }
      raw.push_back(0);  // no filter
      for (int x = interlaced ? kOriginX[pass] : 0; x < image.width; x += interlaced ? kSpacingX[pass] : 1) {
        for (int c = 0; c < image.channels; ++c) {
          Append(raw, {image.Pixel(x, y)[c], image.Pixel(x, y)[c]});
        }
      }
    }
  }
  int compressed_size = 0;
  unsigned char* compressed =
      stbi_zlib_compress(raw.data(), static_cast<int>(raw.size()), &compressed_size, 8);
  PutPngChunk(out, "IDAT", Bytes(compressed, compressed + compressed_size));
  STBIW_FREE(compressed);
  PutPngChunk(out, "IEND", {});
  return out;
}

Bytes PngHeaderOnly(uint32_t width, uint32_t height, int channels) {
  static constexpr uint8_t kColourType[5] = {0, 0, 4, 2, 6};
  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes header;
  Put32Be(header, width);
  Put32Be(header, height);
  Append(header, {8, kColourType[channels], 0, 0, 0});
  PutPngChunk(out, "IHDR", header);
  PutPngChunk(out, "IDAT", {0x78, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01});
  PutPngChunk(out, "IEND", {});
  return out;
}

Bytes EncodeBmp(const Image& image) {
  Bytes out;
  stbi_write_bmp_to_func(Collect, &out, image.width, image.height, image.channels, image.pixels.data());
  return out;
}

namespace {

// A BMP with a 40-byte information header; `palette` and `rows` as stored.
Bytes BmpFile(int width, int height, int bits, uint32_t compression, const Bytes& palette,
              const Bytes& rows) {
  Bytes out = {'B', 'M'};
  const auto offset = static_cast<uint32_t>(14 + 40 + palette.size());
  Put32Le(out, offset + static_cast<uint32_t>(rows.size()));
  Put32Le(out, 0);
  Put32Le(out, offset);
  Put32Le(out, 40);
  Put32Le(out, static_cast<uint32_t>(width));
  Put32Le(out, static_cast<uint32_t>(height));
  Put16Le(out, 1);
  Put16Le(out, static_cast<uint32_t>(bits));
  Put32Le(out, compression);
  Put32Le(out, static_cast<uint32_t>(rows.size()));
  Put32Le(out, 2835);
  Put32Le(out, 2835);
  Put32Le(out, compression == 3 ? 0 : static_cast<uint32_t>(palette.size() / 4));
  Put32Le(out, 0);
  out.insert(out.end(), palette.begin(), palette.end());
  out.insert(out.end(), rows.begin(), rows.end());
  return out;
}

}  // namespace

Bytes EncodeIndexedBmp(const Image& image, int bits) {
  Bytes palette;
  for (int i = 0; i < (1 << bits); ++i) {
    const auto level = static_cast<uint8_t>(i * 255 / ((1 << bits) - 1));
    Append(palette, {static_cast<uint8_t>(level / 3), level, static_cast<uint8_t>(255 - level), 0});
  }
  Bytes rows;
  for (int y = image.height - 1; y >= 0; --y) {
    const Bytes row = PackIndices(image, bits, y, 4);
    rows.insert(rows.end(), row.begin(), row.end());
  }
  return BmpFile(image.width, image.height, bits, 0, palette, rows);
}

Bytes EncodeTopDownBmp(const Image& image) {
  Bytes rows;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const auto rgba = Rgba(image, x, y);
      Append(rows, {rgba[2], rgba[1], rgba[0]});
    }
    rows.resize(rows.size() + static_cast<size_t>(image.width % 4), 0);
  }
  return BmpFile(image.width, -image.height, 24, 0, {}, rows);
}

Bytes EncodeBitfieldBmp(const Image& image) {
  Bytes masks;
  Put32Le(masks, 0xF800);
  Put32Le(masks, 0x07E0);
  Put32Le(masks, 0x001F);
  Bytes rows;
  for (int y = image.height - 1; y >= 0; --y) {
    for (int x = 0; x < image.width; ++x) {
      const auto rgba = Rgba(image, x, y);
      Put16Le(rows, (uint32_t{rgba[0]} >> 3U) << 11U | (uint32_t{rgba[1]} >> 2U) << 5U | (rgba[2] >> 3U));
    }
    rows.resize(rows.size() + static_cast<size_t>(image.width % 2) * 2, 0);
  }
  return BmpFile(image.width, image.height, 16, 3, masks, rows);
}

Bytes EncodeTga(const Image& image, bool rle) {
  Bytes out;
  stbi_write_tga_with_rle = rle ? 1 : 0;
  stbi_write_tga_to_func(Collect, &out, image.width, image.height, image.channels, image.pixels.data());
  return out;
}

Bytes EncodeIndexedTga(const Image& image, bool rle) {
  Bytes out = {0, 1, static_cast<uint8_t>(rle ? 9 : 1)};
  Put16Le(out, 0);    // first map entry
  Put16Le(out, 256);  // map length
  out.push_back(24);
  Put32Le(out, 0);  // origin
  Put16Le(out, static_cast<uint32_t>(image.width));
  Put16Le(out, static_cast<uint32_t>(image.height));
  Append(out, {8, 0x20});  // 8-bit indices, top-left origin
  for (int i = 0; i < 256; ++i) {
    Append(out, {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i / 2)});
  }
  Bytes indices;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      indices.push_back(Grey(image, x, y));
    }
  }
  if (!rle) {
    out.insert(out.end(), indices.begin(), indices.end());
    return out;
  }
  for (size_t i = 0; i < indices.size();) {
    size_t run = 1;
    while (i + run < indices.size() && run < 128 && indices[i + run] == indices[i]) {
      ++run;
    }
    if (run >= 2) {
      Append(out, {static_cast<uint8_t>(0x80U | (run - 1)), indices[i]});
    } else {
      Append(out, {0, indices[i]});
    }
    i += run;
  }
  return out;
}

Bytes EncodeJpeg(const Image& image, int quality) {
  Bytes out;
  stbi_write_jpg_to_func(Collect, &out, image.width, image.height, image.channels, image.pixels.data(),
                         quality);
  return out;
}

Bytes EncodeGif(const Image& image) {
  Bytes out;
  Append(out, std::string("GIF89a"));
  Put16Le(out, static_cast<uint32_t>(image.width));
  Put16Le(out, static_cast<uint32_t>(image.height));
  Append(out, {0xF7, 0, 0});  // 256-entry global colour table
  for (int i = 0; i < 256; ++i) {
    Append(out, {static_cast<uint8_t>((i >> 5) * 255 / 7), static_cast<uint8_t>(((i >> 2) & 7) * 255 / 7),
                 static_cast<uint8_t>((i & 3) * 255 / 3)});
  }
  out.push_back(0x2C);
  Put32Le(out, 0);
  Put16Le(out, static_cast<uint32_t>(image.width));
  Put16Le(out, static_cast<uint32_t>(image.height));
  Append(out, {0, 8});  // no local table; LZW minimum code size 8
  Bytes indices;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const auto rgba = Rgba(image, x, y);
      indices.push_back(
          static_cast<uint8_t>((rgba[0] >> 5U) << 5U | (rgba[1] >> 5U) << 2U | (rgba[2] >> 6U)));
    }
  }
  PutGifImageData(out, indices);
  Append(out, {0, 0x3B});
  return out;
}

Bytes EncodePsd(const Image& image, bool rle) {
  const int channels = HasAlpha(image) ? 4 : 3;
  Bytes out;
  Append(out, std::string("8BPS"));
  Put16Be(out, 1);
  out.resize(out.size() + 6, 0);
  Put16Be(out, static_cast<uint32_t>(channels));
  Put32Be(out, static_cast<uint32_t>(image.height));
  Put32Be(out, static_cast<uint32_t>(image.width));
  Put16Be(out, 8);
  Put16Be(out, 3);  // RGB
  Put32Be(out, 0);  // colour mode data
  Put32Be(out, 0);  // image resources
  Put32Be(out, 0);  // layers and masks
  Put16Be(out, rle ? 1 : 0);
  // Alpha is all or nothing: the decoder's un-matting of partial alpha is not what
  // the guard is about.
  std::vector<Bytes> planes(static_cast<size_t>(channels));
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const auto rgba = Rgba(image, x, y);
      for (int c = 0; c < channels; ++c) {
        planes[static_cast<size_t>(c)].push_back(c == 3 ? static_cast<uint8_t>(rgba[3] >= 128 ? 255 : 0)
                                                        : rgba[c]);
      }
    }
  }
  if (!rle) {
    for (const Bytes& plane : planes) {
      out.insert(out.end(), plane.begin(), plane.end());
    }
    return out;
  }
  out.resize(out.size() + static_cast<size_t>(2 * image.height * channels), 0);  // row byte counts
  for (const Bytes& plane : planes) {
    for (int y = 0; y < image.height; ++y) {
      const auto row = plane.begin() + static_cast<std::ptrdiff_t>(y) * image.width;
      PackBits(out, Bytes(row, row + image.width));
    }
  }
  return out;
}

Bytes EncodePic(const Image& image, bool rle) {
  Bytes out = {0x53, 0x80, 0xF6, 0x34};
  out.resize(out.size() + 4 + 80, 0);  // version, comment
  Append(out, std::string("PICT"));
  Put16Be(out, static_cast<uint32_t>(image.width));
  Put16Be(out, static_cast<uint32_t>(image.height));
  Append(out, {0x3F, 0x80, 0, 0});  // aspect ratio 1.0
  Put16Be(out, 3);                  // fields: full frame
  Put16Be(out, 0);
  const uint8_t type = rle ? 2 : 0;
  const bool alpha = HasAlpha(image);
  Append(out, {static_cast<uint8_t>(alpha ? 1 : 0), 8, type, 0xE0});
  if (alpha) {
    Append(out, {0, 8, type, 0x10});
  }
  for (int y = 0; y < image.height; ++y) {
    for (int packet = 0; packet < (alpha ? 2 : 1); ++packet) {
      std::vector<Bytes> values;
      for (int x = 0; x < image.width; ++x) {
        const auto rgba = Rgba(image, x, y);
        values.push_back(packet == 0 ? Bytes{rgba[0], rgba[1], rgba[2]} : Bytes{rgba[3]});
      }
      for (size_t x = 0; x < values.size();) {
        size_t run = 1;
        while (rle && x + run < values.size() && run < 128 && values[x + run] == values[x]) {
          ++run;
        }
        if (rle) {
          out.push_back(static_cast<uint8_t>(run >= 2 ? run + 127 : 0));
        }
        out.insert(out.end(), values[x].begin(), values[x].end());
        x += run;
      }
    }
  }
  return out;
}

Bytes EncodePnm(const Image& image, bool sixteen_bit) {
  const bool grey = image.channels <= 2;
  Bytes out;
  Append(out, std::string(grey ? "P5" : "P6") + "\n# made by the tests\n" + std::to_string(image.width) +
                  " " + std::to_string(image.height) + "\n" + (sixteen_bit ? "65535" : "255") + "\n");
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const auto rgba = Rgba(image, x, y);
      for (int c = 0; c < (grey ? 1 : 3); ++c) {
        if (sixteen_bit) {
          Put16Be(out, rgba[c] * 257U);
        } else {
          out.push_back(rgba[c]);
        }
      }
    }
  }
  return out;
}

Bytes EncodeHdr(const Image& image) {
  std::vector<float> linear(image.pixels.size());
  for (size_t i = 0; i < linear.size(); ++i) {
    linear[i] = static_cast<float>(image.pixels[i]) / 255.0F;
  }
  Bytes out;
  stbi_write_hdr_to_func(Collect, &out, image.width, image.height, image.channels, linear.data());
  return out;
}

std::vector<NamedSource> ValidSources() {
  std::vector<NamedSource> sources;
  const auto add = [&sources](const std::string& name, Bytes bytes) {
    sources.push_back({name, std::move(bytes)});
  };
  for (const int width : {1, 5, 8, 13}) {
    for (const int channels : {1, 2, 3, 4}) {
      const Image image = MakeTestImage(width, width + 2, channels);
      const std::string tag =
          std::to_string(width) + "x" + std::to_string(width + 2) + "-c" + std::to_string(channels);
      add("png-" + tag + ".png", EncodePng(image));
      add("bmp-" + tag + ".bmp", EncodeBmp(image));
      add("tga-" + tag + ".tga", EncodeTga(image, false));
      add("tga-rle-" + tag + ".tga", EncodeTga(image, true));
      add("jpeg-" + tag + ".jpg", EncodeJpeg(image, 90));
      add("gif-" + tag + ".gif", EncodeGif(image));
      if (channels == 3 && width >= 8) {
        // Cut inside its one data sub-block, trailer lost: the rows the data never
        // reaches come out as the decoder's cleared canvas, the same on every run.
        Bytes cut = EncodeGif(image);
        constexpr size_t kBeforeData = 13 + 3 * 256 + 11;        // header, table, descriptor, code size
        const size_t sub_blocks = cut.size() - 2 - kBeforeData;  // without the terminator and trailer
        cut.resize(kBeforeData + 1 + sub_blocks / 2);
        add("gif-data-ends-early-" + tag + ".gif", std::move(cut));
      }
      add("psd-" + tag + ".psd", EncodePsd(image, false));
      add("psd-rle-" + tag + ".psd", EncodePsd(image, true));
      add("pic-" + tag + ".pic", EncodePic(image, false));
      add("pic-rle-" + tag + ".pic", EncodePic(image, true));
      add("pnm-" + tag + ".pnm", EncodePnm(image, false));
      add("pnm16-" + tag + ".pnm", EncodePnm(image, true));
      add("hdr-" + tag + ".hdr", EncodeHdr(image));
    }
    const Image grey = MakeTestImage(width, width + 1, 1);
    const std::string tag = std::to_string(width) + "x" + std::to_string(width + 1);
    for (const int bits : {1, 4, 8}) {
      add("png-palette" + std::to_string(bits) + "-" + tag + ".png", EncodePalettePng(grey, bits));
      add("png-palette" + std::to_string(bits) + "-adam7-" + tag + ".png",
          EncodePalettePng(grey, bits, 0, true));
      add("bmp-indexed" + std::to_string(bits) + "-" + tag + ".bmp", EncodeIndexedBmp(grey, bits));
    }
    const Image colour = MakeTestImage(width, width + 1, 3);
    add("bmp-topdown-" + tag + ".bmp", EncodeTopDownBmp(colour));
    add("bmp-565-" + tag + ".bmp", EncodeBitfieldBmp(colour));
    add("tga-indexed-" + tag + ".tga", EncodeIndexedTga(grey, false));
    add("tga-indexed-rle-" + tag + ".tga", EncodeIndexedTga(grey, true));
    add("jpeg-q50-" + tag + ".jpg", EncodeJpeg(colour, 50));
  }
  return sources;
}

std::vector<HostileSource> HostileSources() {
  std::vector<HostileSource> hostile;
  const Image image = MakeTestImage(16, 12, 3);
  // Six 16 x 16 blocks of blocks, so that a restart interval of one matters.
  const Bytes jpeg = EncodeJpeg(MakeTestImage(40, 24, 3), 90);
  {
    // A Huffman table whose code counts add up to far more than 256.
    Bytes bytes = jpeg;
    const JpegSegment table = FindSegment(bytes, 0xC4);
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(table.offset + 5), 16, uint8_t{0xFF});
    hostile.push_back({"jpeg-huffman-counts.jpg", bytes, "JPEG Huffman table counts exceed 256"});
  }
  {
    // A scan that decodes with a table no segment defined.
    Bytes bytes = jpeg;
    const JpegSegment scan = FindSegment(bytes, 0xDA);
    bytes[scan.offset + 6] = 0x33;
    hostile.push_back({"jpeg-undefined-huffman.jpg", bytes, "JPEG scan uses an undefined Huffman table"});
  }
  {
    Bytes bytes = jpeg;
    const JpegSegment frame = FindSegment(bytes, 0xC0);
    bytes[frame.offset + 12] = 3;  // first component's quantisation table
    hostile.push_back(
        {"jpeg-undefined-quantisation.jpg", bytes, "JPEG scan uses an undefined quantisation table"});
  }
  {
    // Tables and frame, then the end: nothing ever writes the component planes.
    const JpegSegment scan = FindSegment(jpeg, 0xDA);
    Bytes bytes(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(scan.offset));
    Append(bytes, {0xFF, 0xD9});
    hostile.push_back({"jpeg-no-scan.jpg", bytes, "JPEG image data does not cover every component"});
  }
  {
    // A restart interval of one block, but no restart marker in the scan: the
    // decoder leaves the scan after the first interval.
    const JpegSegment frame = FindSegment(jpeg, 0xC0);
    Bytes bytes(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(frame.offset));
    Append(bytes, {0xFF, 0xDD, 0, 4, 0, 1});
    bytes.insert(bytes.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(frame.offset), jpeg.end());
    // Without stuffed 0xFF bytes in the data, the decoder finds nothing wrong after
    // leaving the scan and returns the unwritten blocks as pixels.
    const JpegSegment scan = FindSegment(bytes, 0xDA);
    for (size_t at = scan.offset + scan.length; at + 1 < bytes.size() - 2; ++at) {
      if (bytes[at] == 0xFF && bytes[at + 1] == 0x00) {
        bytes[at] = 0x00;
      }
    }
    hostile.push_back({"jpeg-restart-missing.jpg", bytes, "JPEG image data does not cover every component"});
  }
  {
    // A scan bomb: a progressive frame with hundreds of tiny DC scans, each of which
    // the decoder walks over every block of the image, however few bytes it holds.
    const JpegSegment frame = FindSegment(jpeg, 0xC0);
    const JpegSegment scan = FindSegment(jpeg, 0xDA);
    Bytes bytes(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(scan.offset));
    bytes[frame.offset + 1] = 0xC2;
    Bytes dc_scan(jpeg.begin() + static_cast<std::ptrdiff_t>(scan.offset),
                  jpeg.begin() + static_cast<std::ptrdiff_t>(scan.offset + scan.length));
    dc_scan[scan.length - 2] = 0;  // spectral selection 0-0: DC only
    for (int i = 0; i < 200; ++i) {
      bytes.insert(bytes.end(), dc_scan.begin(), dc_scan.end());
      bytes.insert(bytes.end(), 10, uint8_t{0});
    }
    Append(bytes, {0xFF, 0xD9});
    hostile.push_back({"jpeg-scan-bomb.jpg", bytes, "JPEG scans x blocks exceed the work limit"});
  }
  const Bytes pic = EncodePic(image, true);
  hostile.push_back({"pic-ends-early.pic", Truncated(pic, pic.size() - 7), "PIC pixel data ends early"});
  hostile.push_back({"pic-packets-end-early.pic", Truncated(pic, 106), "PIC packet list ends early"});
  {
    Bytes bytes = pic;
    bytes[106] = 5;  // compression type of the first packet
    hostile.push_back({"pic-bad-packet-type.pic", bytes, "PIC packet has an unknown compression type"});
  }
  const Bytes hdr_rle = EncodeHdr(MakeTestImage(16, 4, 3));
  hostile.push_back({"hdr-rle-ends-early.hdr", Truncated(hdr_rle, hdr_rle.size() - 5),
                     "HDR run-length scanline ends early"});
  const Bytes hdr_flat = EncodeHdr(MakeTestImage(5, 4, 3));
  hostile.push_back(
      {"hdr-flat-ends-early.hdr", Truncated(hdr_flat, hdr_flat.size() - 3), "HDR pixel data ends early"});
  const Bytes tga = EncodeTga(image, false);
  hostile.push_back({"tga-ends-early.tga", Truncated(tga, tga.size() - 10), "TGA pixel data ends early"});
  {
    // 18 bytes of header claim 16000 x 16000 true-colour pixels.
    Bytes bytes = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Put16Le(bytes, 16000);
    Put16Le(bytes, 16000);
    Append(bytes, {24, 0});
    hostile.push_back({"tga-huge-header.tga", bytes, "TGA pixel data ends early"});
  }
  const Bytes pnm = EncodePnm(image, false);
  hostile.push_back({"pnm-ends-early.pnm", Truncated(pnm, pnm.size() - 1), "PNM pixel data ends early"});
  hostile.push_back({"pnm-zero-size.pnm", Bytes{'P', '5', '\n', '0', ' ', '0', '\n', '2', '5', '5', '\n'},
                     "PNM has zero width or height"});
  {
    Bytes bytes;
    Append(bytes, std::string("P6\n20000 20000\n255\n"));
    hostile.push_back({"pnm-huge-header.pnm", bytes, "PNM pixel data ends early"});
  }
  {
    Bytes bytes;
    Append(bytes, std::string("P5\n99999999999 1\n255\n"));
    hostile.push_back({"pnm-number-overflow.pnm", bytes, "PNM header number too large"});
  }
  {
    // A 1-bit palette (two entries) under 8-bit indices that reach 255.
    Bytes bytes = EncodeIndexedBmp(MakeTestImage(8, 4, 1), 8);
    const uint32_t offset = 14 + 40 + 2 * 4;
    Bytes shortened(bytes.begin(), bytes.begin() + 14 + 40);
    shortened.insert(shortened.end(), bytes.begin() + 54, bytes.begin() + 62);
    shortened.insert(shortened.end(), bytes.begin() + std::ptrdiff_t{14 + 40 + 256 * 4}, bytes.end());
    shortened[10] = static_cast<uint8_t>(offset);
    shortened[11] = static_cast<uint8_t>(offset >> 8U);
    hostile.push_back(
        {"bmp-index-past-palette.bmp", shortened, "BMP pixel refers past the end of its palette"});
  }
  hostile.push_back({"png-index-past-palette.png", EncodePalettePng(MakeTestImage(9, 7, 1), 8, 3),
                     "PNG pixel refers past the end of its palette"});
  hostile.push_back({"png-adam7-index-past-palette.png", EncodePalettePng(MakeTestImage(9, 7, 1), 4, 5, true),
                     "PNG pixel refers past the end of its palette"});
  const Bytes bmp = EncodeBmp(image);
  hostile.push_back({"bmp-ends-early.bmp", Truncated(bmp, bmp.size() - 4), "BMP pixel data ends early"});
  {
    // 13 bytes of header claim a 20000 x 20000 canvas (3.6 GB of decoder buffers),
    // and no image follows.
    Bytes bytes;
    Append(bytes, std::string("GIF89a"));
    Put16Le(bytes, 20000);
    Put16Le(bytes, 20000);
    Append(bytes, {0, 0, 0});
    hostile.push_back({"gif-header-only.gif", bytes, "file ends early"});
    Append(bytes, {0x3B});
    hostile.push_back({"gif-no-image.gif", bytes, "GIF holds no image"});
  }
  {
    // A well-formed 1 x 1 image on a 17000 x 17000 canvas: over the pixel limit.
    Bytes bytes;
    Append(bytes, std::string("GIF89a"));
    Put16Le(bytes, 17000);
    Put16Le(bytes, 17000);
    Append(bytes, {0x80, 0, 0, 0, 0, 0, 255, 255, 255});
    Append(bytes, {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 0x01, 0, 0x3B});
    hostile.push_back({"gif-huge-canvas.gif", bytes, kOverTheDefaultCap});
  }
  const Bytes psd = EncodePsd(image, false);
  hostile.push_back({"psd-ends-early.psd", Truncated(psd, psd.size() - 9), "PSD pixel data ends early"});
  {
    // 53 bytes whose image data chunk claims 0x7ffffff0 bytes: the decoder would
    // grow its buffer to that before it found the file short.
    Bytes bytes = PngHeaderOnly(1, 1, 3);
    bytes.resize(33);
    Put32Be(bytes, 0x7ffffff0U);
    Append(bytes, std::string("IDAT"));
    bytes.resize(53, 0);
    hostile.push_back({"png-chunk-past-end.png", bytes, "file ends early"});
  }
  {
    // The decoder's header scan refuses this size before the cap is asked.
    hostile.push_back({"png-rgb-huge.png", PngHeaderOnly(20000, 20000, 3), kOverTheDefaultCap});
    hostile.push_back({"png-grey-huge.png", PngHeaderOnly(20000, 20000, 1), kOverTheDefaultCap});
  }
  {
    Bytes bytes = EncodeIndexedBmp(MakeTestImage(8, 4, 1), 8);
    bytes[30] = 1;  // BI_RLE8
    hostile.push_back({"bmp-rle8.bmp", bytes, "compressed (RLE) BMP is not read"});
  }
  hostile.push_back({"pnm-plain-text.ppm", ToBytes("P3\n2 1\n255\n255 0 0 0 0 255\n"),
                     "plain-text PNM (P1-P3) is not read, only binary greymaps and pixmaps (P5, P6)"});
  hostile.push_back({"pnm-plain-bitmap.pbm", ToBytes("P1\n# one row\n2 1\n0 1\n"),
                     "plain-text PNM (P1-P3) is not read, only binary greymaps and pixmaps (P5, P6)"});
  hostile.push_back({"pnm-bitmap.pbm", ToBytes("P4\n8 1\n\x55"),
                     "PNM bitmap (P4) is not read, only binary greymaps and pixmaps (P5, P6)"});
  hostile.push_back({"empty.png", Bytes{}, "source is empty"});
  return hostile;
}

}  // namespace tarvelo::test
