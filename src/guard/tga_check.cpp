// TGA: the decoder reads uncompressed true-colour and grey rows with a bulk read
// that leaves the rest of its buffer uninitialised when the file ends early, and
// takes whatever the header promises at face value. Every byte it reads must be in
// the file.
#include <algorithm>
#include <cstdint>

#include "guard/input_guard.h"

namespace tarvelo::guard {
namespace {

constexpr const char* kPixelsShort = "TGA pixel data ends early";

// Channels the decoder makes of a pixel size, as it decides them; 0 when unsupported.
// `rgb16`: colour packed in two bytes.
int ChannelsOf(uint32_t bits, bool grey, bool& rgb16) {
  rgb16 = bits == 15 || (bits == 16 && !grey);
  switch (bits) {
    case 8: return 1;
    case 15: return 3;
    case 16: return grey ? 2 : 3;  // grey+alpha, or packed colour
    case 24: return 3;
    case 32: return 4;
    default: return 0;
  }
}

}  // namespace

const char* CheckTga(SourceReader& reader) noexcept {
  const uint32_t id_length = reader.Get8();
  const bool indexed = reader.Get8() != 0;
  uint32_t image_type = reader.Get8();
  const uint32_t palette_start = reader.Get16Le();
  const uint32_t palette_length = reader.Get16Le();
  const uint32_t palette_bits = reader.Get8();
  reader.Skip(4);  // origin
  const uint64_t width = reader.Get16Le();
  const uint64_t height = reader.Get16Le();
  const uint32_t pixel_bits = reader.Get8();
  reader.Skip(1);  // descriptor
  if (!reader.Has(0)) {
    return "TGA header ends early";
  }
  const bool rle = image_type >= 8;
  image_type -= rle ? 8 : 0;
  bool rgb16 = false;
  const int channels =
      indexed ? ChannelsOf(palette_bits, false, rgb16) : ChannelsOf(pixel_bits, image_type == 3, rgb16);
  const uint64_t pixels = width * height;
  if (channels == 0 || pixels * static_cast<uint64_t>(channels) > INT32_MAX) {
    return nullptr;  // the decoder refuses these itself
  }
  // One colour's bytes: a colour-map entry's, or an unmapped pixel's.
  const uint64_t colour_bytes = rgb16 ? 2 : static_cast<uint64_t>(channels);
  reader.Skip(id_length);
  if (indexed) {
    if (palette_length == 0) {
      return nullptr;  // refused by the decoder
    }
    reader.Skip(palette_start);  // the decoder skips this many bytes before the map
    if (!reader.Take(uint64_t{palette_length} * colour_bytes)) {
      return "TGA colour map ends early";
    }
  }
  const uint64_t pixel_bytes = indexed ? (pixel_bits == 8 ? 1 : 2) : colour_bytes;
  if (!rle) {
    return reader.Has(pixels * pixel_bytes) ? nullptr : kPixelsShort;
  }
  // Run-length packets: a count byte, then one pixel (a run) or `count` pixels.
  return CheckRuns(reader, pixels, kPixelsShort,
                   [&](uint64_t left) {
                     const uint32_t command = reader.Get8();
                     const uint64_t count = std::min<uint64_t>(1 + (command & 127U), left);
                     return RunPacket{count, (command & 128U) != 0 ? pixel_bytes : count * pixel_bytes};
                   })
      .value_or(nullptr);
}

}  // namespace tarvelo::guard
