// The writer's plan of one image in a layout (the layout table and its two
// layouts), and the write of a plan to an output.
#include "writer/layouts.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>

#include "writer/pixel_rows.h"

namespace tarvelo {
namespace {

// Overlapped writing pays a thread start and a wake-up of the other core for each
// block. For a small file that costs more than the overlap saves; from this size
// on the overlap wins (bench/RESULTS.md).
constexpr uint64_t kOverlapFrom = uint64_t{16} << 20;

// Largest side the TGA header's 16-bit width and height fields can hold.
constexpr int32_t kTgaMaxSide = 65535;

bool PlanTgaFile(const DecodedImage& image, LayoutPlan& plan) noexcept {
  // The 16-bit size fields would silently wrap: refuse before anything is opened.
  if (image.width > kTgaMaxSide || image.height > kTgaMaxSide) {
    return false;
  }
  const int32_t has_alpha = (image.channels % 2 == 0) ? 1 : 0;
  // Image ID length 0, no colour map, image type 2 (uncompressed true-colour); the
  // colour map's first entry, length and entry size; the x and y origin; the sides;
  // bits per pixel; the descriptor: alpha bits, bit 5 clear (bottom-left origin).
  const std::array<int32_t, 12> values = {
      0, 0, 2, 0, 0, 0, 0, 0, image.width, image.height, 24 + 8 * has_alpha, 8 * has_alpha};
  return PlanImage("111 221 2222 11", values, {.keep_alpha = has_alpha != 0, .row_pad = 0}, image, plan);
}

constexpr const char* kBmpFields = "11 4 22 44 44 22 444444";
constexpr size_t kBmpValueCount = 17;
constexpr int64_t kHeaderBytes = static_cast<int64_t>(FieldsSize(kBmpFields, kBmpValueCount));

bool PlanBmpFile(const DecodedImage& image, LayoutPlan& plan) noexcept {
  // Rows of 3 * width bytes padded to a multiple of four.
  const int32_t pad = image.width % 4;
  const int64_t row_bytes = int64_t{3} * image.width + pad;
  // Compared by division: the product of two large sides overflows even 64 bits.
  constexpr int64_t kMaxPixelBytes = int64_t{std::numeric_limits<uint32_t>::max()} - kHeaderBytes;
  if (image.height > 0 && row_bytes > kMaxPixelBytes / image.height) {
    return false;
  }
  const int64_t file_size = kHeaderBytes + row_bytes * image.height;
  const std::array<int32_t, kBmpValueCount> values = {
      'B', 'M',
      // The field is 32 bits unsigned; values over INT32_MAX keep their low 32 bits.
      static_cast<int32_t>(static_cast<uint32_t>(file_size)), 0, 0,  // reserved
      kHeaderBytes, 40,                  // pixel data offset, information header size
      image.width, image.height, 1, 24,  // planes, bits per pixel
      0, 0, 0, 0, 0, 0,                  // compression, image size, resolutions, colours
  };
  return PlanImage(kBmpFields, values, {.keep_alpha = false, .row_pad = pad}, image, plan);
}

constexpr LayoutEntry kLayouts[] = {
    {Layout::kTga, "tga", ".tga", PlanTgaFile, "TGA stores at most 65535 pixels per side"},
    {Layout::kBmp, "bmp", ".bmp", PlanBmpFile, "BMP file size would exceed 4 GiB"},
};

// `text` equals `lower_case` but for the case of ASCII letters.
bool EqualsFolded(const char* text, const char* lower_case) noexcept {
  for (; *text != '\0' && *lower_case != '\0'; ++text, ++lower_case) {
    const char c = *text;
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != *lower_case) {
      return false;
    }
  }
  return *text == *lower_case;
}

}  // namespace

void EmitFields(ByteSink& sink, const char* field_template, std::span<const int32_t> values) noexcept {
  size_t next = 0;
  for (const char* field = field_template; FieldWidth(field) >= 0 && next < values.size(); ++field) {
    // Unsigned arithmetic gives the two's-complement low bytes of negative values.
    const auto value = static_cast<uint32_t>(values[next]);
    uint8_t* out = sink.Reserve(4);
    for (int i = 0; i < FieldWidth(field); ++i) {
      *out++ = static_cast<uint8_t>(value >> (8 * i));
    }
    sink.Commit(out);
    next += FieldWidth(field) > 0 ? 1 : 0;
  }
}

bool PlanImage(const char* field_template, std::span<const int32_t> values, const PixelStreamParams& params,
               const DecodedImage& image, LayoutPlan& plan) noexcept {
  if (values.size() > plan.values.size()) {
    return false;
  }
  plan.field_template = field_template;
  std::copy(values.begin(), values.end(), plan.values.begin());
  plan.value_count = values.size();
  plan.params = params;
  plan.file_size = FieldsSize(field_template, values.size()) + PixelRowsSize(params, image);
  return true;
}

int WritePlan(const LayoutPlan& plan, const DecodedImage& image, ByteOutput& output, WriteFailure* failure,
              const WriteSettings& settings) noexcept {
  WriteFailure local;
  WriteFailure& outcome = failure != nullptr ? *failure : local;
  outcome = {};
  if (!output.Begin(plan.file_size, outcome)) {
    return 0;
  }
  const bool overlap = settings.allow_threads && PixelRowsSize(plan.params, image) >= kOverlapFrom;
  ByteSink sink(output, overlap ? ByteSink::Mode::kOverlapped : ByteSink::Mode::kDirect);
  if (!sink.ready()) {
    outcome = {WriteFailureKind::kWriteFailed, ENOMEM};
    return 0;
  }
  EmitFields(sink, plan.field_template, {plan.values.data(), plan.value_count});
  EmitPixelRows(sink, plan.params, image);
  if (!sink.Flush()) {
    outcome = {WriteFailureKind::kWriteFailed, sink.error_number()};
    return 0;  // a destination file's temporary file goes with the output
  }
  return output.Finish(outcome) ? 1 : 0;
}

const LayoutEntry* FindLayout(int value) noexcept {
  for (const LayoutEntry& entry : kLayouts) {
    if (static_cast<int>(entry.layout) == value) {
      return &entry;
    }
  }
  return nullptr;
}

const LayoutEntry* FindLayoutByName(const char* name) noexcept {
  if (name == nullptr) {
    return nullptr;
  }
  // The extension is what follows the last dot; one followed by a directory
  // separator ("dir.tga/out") ends no extension, as the comparison shows.
  const char* dot = std::strrchr(name, '.');
  for (const LayoutEntry& entry : kLayouts) {
    if (EqualsFolded(name, entry.name) || (dot != nullptr && EqualsFolded(dot, entry.extension))) {
      return &entry;
    }
  }
  return nullptr;
}

}  // namespace tarvelo
