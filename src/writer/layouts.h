#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "writer/outputs.h"
#include "writer/pixel_rows.h"

namespace tarvelo {

// The output layouts. The values are the public TarveloLayout's.
enum class Layout : int { kTga = 0, kBmp = 1 };

// A layout's header is described by a field template, one character per field:
//   '1' one byte (low 8 bits of the value),
//   '2' two bytes little-endian (the value narrowed to 16 bits),
//   '4' four bytes little-endian,
//   ' ' nothing (groups fields for the reader, consumes no value).
// Any other character, the end of the template, or running out of values ends the
// header: nothing after it is written. Each field consumes the next value.
void EmitFields(ByteSink& sink, const char* field_template, std::span<const int32_t> values) noexcept;

// The bytes of the template's field at `field` (null: the end): 1, 2 or 4; 0 for a
// blank; -1 where the header ends.
constexpr int FieldWidth(const char* field) noexcept {
  if (field == nullptr || (*field != ' ' && *field != '1' && *field != '2' && *field != '4')) {
    return -1;
  }
  return *field == ' ' ? 0 : *field - '0';
}

// The number of bytes EmitFields writes for the same template and `value_count`
// values: the one measure of a header's size, usable at compile time so that a
// layout can take its header's size from its template.
constexpr uint64_t FieldsSize(const char* field_template, size_t value_count) noexcept {
  uint64_t size = 0;
  for (const char* field = field_template; FieldWidth(field) >= 0 && value_count > 0; ++field) {
    size += static_cast<uint64_t>(FieldWidth(field));
    value_count -= FieldWidth(field) > 0 ? 1 : 0;
  }
  return size;
}

// How one write may run. By default it runs on the calling thread alone and takes
// no lock; allowing threads lets a large image be written by a helper thread while
// its pixels are converted (see ByteSink). The bytes are the same either way.
struct WriteSettings {
  bool allow_threads = false;
};

// Everything the writer needs to write one image, settled before the first byte
// goes out: the header's field template and values, the pixel-stream parameters
// (see EmitPixelRows), and the size of what they make.
struct LayoutPlan {
  const char* field_template = nullptr;
  std::array<int32_t, 32> values = {};  // the first value_count of them
  size_t value_count = 0;
  PixelStreamParams params;
  uint64_t file_size = 0;
};

// Plans a header of `field_template` and `values` followed by the image's pixel
// rows under `params`, and sets the plan's file size from them. False (nothing
// planned) when there are more values than a plan holds.
bool PlanImage(const char* field_template, std::span<const int32_t> values, const PixelStreamParams& params,
               const DecodedImage& image, LayoutPlan& plan) noexcept;

// The writer's one entry: writes the planned header and pixel rows to `output`,
// which is told the size first (ByteOutput::Begin) and the end last
// (ByteOutput::Finish). A refusal of the output ends the write: nothing more
// reaches it.
//
// Returns 1 when every byte was written and the output finished, 0 otherwise;
// `failure`, when given, says which step failed.
int WritePlan(const LayoutPlan& plan, const DecodedImage& image, ByteOutput& output,
              WriteFailure* failure = nullptr, const WriteSettings& settings = {}) noexcept;

// Everything the library knows of one layout, in one row of one table.
struct LayoutEntry {
  Layout layout;
  const char* name;       // "tga": what a caller names it by, case-insensitively
  const char* extension;  // ".tga": the file names that ask for it end so
  // Plans the image in this layout; false (nothing planned) when it does not fit:
  //  - TGA: uncompressed true-colour (type 2), 24 bits per pixel for 1 and 3
  //    channels, 32 bits (alpha after blue, green, red) for 2 and 4, rows bottom-up,
  //    no footer; a side over 65535 does not fit.
  //  - BMP: uncompressed 24-bit with a 40-byte information header, rows bottom-up
  //    and padded to four bytes, RGBA flattened against magenta, grey alpha dropped;
  //    a file size over the header's 32-bit field does not fit.
  bool (*plan)(const DecodedImage& image, LayoutPlan& plan) noexcept;
  const char* too_large;  // why an image the plan refuses does not fit
};

// The row of a layout's value; null for a value that names none (a C caller's int).
const LayoutEntry* FindLayout(int value) noexcept;

// The row a name asks for: a layout's name ("tga", "TGA"), its extension (".tga"),
// or a file name that ends with it ("out/Photo.TGA"), case-insensitively. Null for
// anything else, a null name included.
const LayoutEntry* FindLayoutByName(const char* name) noexcept;

}  // namespace tarvelo
