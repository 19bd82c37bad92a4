// The writer core on arbitrary dimensions, channel counts (valid or not), field
// templates (with unknown characters and too few values) and stream parameters
// (in range or not). Every file written is compared with a straightforward
// reference of the layout rules; a refused write must leave no file.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "byte_source.h"
#include "fuzz_target.h"
#include "scratch_directory.h"
#include "writer/destination_file.h"
#include "writer/layouts.h"

namespace {

using tarvelo::DecodedImage;
using tarvelo::PixelStreamParams;

constexpr std::array<char, 7> kTemplateAlphabet = {'1', '2', '4', ' ', ' ', 'x', '3'};

// The header a template describes: each field takes the next value, little-endian.
void ReferenceFields(const std::string& field_template, const std::vector<int32_t>& values,
                     std::vector<uint8_t>& out) {
  size_t next = 0;
  for (const char field : field_template) {
    if (field == ' ') {
      continue;
    }
    const int bytes = field == '1' ? 1 : field == '2' ? 2 : field == '4' ? 4 : 0;
    if (bytes == 0 || next == values.size()) {
      return;
    }
    const auto value = static_cast<uint32_t>(values[next++]);
    for (int i = 0; i < bytes; ++i) {
      out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
  }
}

// The pixel stream, pixel by pixel, as the layout rules state it.
void ReferencePixels(const PixelStreamParams& params, const DecodedImage& image, std::vector<uint8_t>& out) {
  if (image.channels < 1 || image.channels > 4 || image.width < 0 || image.height <= 0) {
    return;
  }
  const int pad = params.row_pad < 0 ? 0 : (params.row_pad > 3 ? 3 : params.row_pad);
  const std::array<int, 3> background = {255, 0, 255};
  for (int row = image.height - 1; row >= 0; --row) {  // bottom-up
    for (int x = 0; x < image.width; ++x) {
      const uint8_t* p = image.pixels + (static_cast<size_t>(row) * image.width + x) * image.channels;
      const uint8_t alpha = p[image.channels - 1];
      std::array<int, 3> rgb{};
      if (image.channels <= 2) {
        rgb = {p[0], p[0], p[0]};
      } else {
        rgb = {p[0], p[1], p[2]};
      }
      if (image.channels == 4 && !params.keep_alpha) {
        for (int k = 0; k < 3; ++k) {
          rgb[k] = background[k] + ((rgb[k] - background[k]) * alpha) / 255;
        }
      }
      out.insert(out.end(),
                 {static_cast<uint8_t>(rgb[2]), static_cast<uint8_t>(rgb[1]), static_cast<uint8_t>(rgb[0])});
      if (params.keep_alpha) {
        out.push_back(alpha);
      }
    }
    out.insert(out.end(), static_cast<size_t>(pad), uint8_t{0});
  }
}

std::vector<uint8_t> ReadAll(const std::string& path, bool& exists) {
  std::vector<uint8_t> bytes;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  exists = file != nullptr;
  if (file != nullptr) {
    uint8_t block[65536];
    for (size_t got = 0; (got = std::fread(block, 1, sizeof block, file)) > 0;) {
      bytes.insert(bytes.end(), block, block + got);
    }
    static_cast<void>(std::fclose(file));
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarvelo::fuzz::ByteSource input(data, size);
  DecodedImage image;
  image.width = static_cast<int32_t>(input.U16() % 300);
  image.height = static_cast<int32_t>(input.Byte() % 48);
  image.channels = static_cast<int32_t>(input.Byte() % 6);  // 0 and 5 are invalid
  PixelStreamParams params;
  input.Byte();  // two bytes that once chose the channel and row order
  input.Byte();
  params.keep_alpha = input.Byte() != 128;
  params.row_pad = static_cast<int>(input.Byte() % 7) - 1;
  std::string field_template(input.Byte() % 24, ' ');
  for (char& field : field_template) {
    field = kTemplateAlphabet[input.Byte() % kTemplateAlphabet.size()];
  }
  std::vector<int32_t> values(input.Byte() % 20);
  for (int32_t& value : values) {
    value = static_cast<int32_t>(input.U32());
  }
  // Pixels: the rest of the input, repeated to fill the image.
  const size_t channels = image.channels > 0 ? static_cast<size_t>(image.channels) : 1;
  std::vector<uint8_t> pixels(static_cast<size_t>(image.width) * static_cast<size_t>(image.height) *
                              channels);
  for (size_t i = 0; i < pixels.size(); ++i) {
    pixels[i] = input.remaining() > 0 ? input.rest()[i % input.remaining()] : static_cast<uint8_t>(i * 37);
  }
  image.pixels = pixels.data();

  const std::string path = tarvelo::fuzz::ScratchDirectory() + "/written";
  static_cast<void>(std::remove(path.c_str()));
  tarvelo::LayoutPlan plan;
  int result = 0;
  if (tarvelo::PlanImage(field_template.c_str(), values, params, image, plan)) {
    tarvelo::DestinationFile output(path.c_str());
    result = tarvelo::WritePlan(plan, image, output);
  }
  bool exists = false;
  const std::vector<uint8_t> written = ReadAll(path, exists);
  static_cast<void>(std::remove(path.c_str()));
  if (result != 1) {
    static_cast<void>(std::fprintf(stderr, "the writer refused a writable file\n"));
    std::abort();
  }
  std::vector<uint8_t> expected;
  ReferenceFields(field_template, values, expected);
  ReferencePixels(params, image, expected);
  if (!exists || written != expected) {
    static_cast<void>(std::fprintf(stderr, "written file differs from the reference (%zu vs %zu bytes)\n",
                                   written.size(), expected.size()));
    std::abort();
  }
  return 0;
}
