#pragma once

#include <cstdint>
#include <span>

#include "writer/decoded_image.h"
#include "writer/image_file_writer.h"

namespace tarvelo {

// The output layouts. The values are the public TarveloLayout's.
enum class Layout : int { kTga = 0, kBmp = 1 };

// Largest side the TGA header's 16-bit width and height fields can hold.
inline constexpr int32_t kTgaMaxSide = 65535;

// Uncompressed true-colour TGA (type 2): 24 bits per pixel for 1 and 3 channels,
// 32 bits (alpha after blue, green, red) for 2 and 4. Rows bottom-up, no footer.
// False (nothing planned) for an image with a side over 65535.
bool PlanTgaFile(const DecodedImage& image, LayoutPlan& plan) noexcept;

// Uncompressed 24-bit BMP with a 40-byte information header, rows bottom-up and
// padded to four bytes; RGBA flattened against magenta, grey alpha dropped.
// False (nothing planned) for an image whose file size does not fit the header's
// 32-bit field.
bool PlanBmpFile(const DecodedImage& image, LayoutPlan& plan) noexcept;

// Everything the library knows of one layout, in one row of one table.
struct LayoutEntry {
  Layout layout;
  const char* name;       // "tga": what a caller names it by, case-insensitively
  const char* extension;  // ".tga": the file names that ask for it end so
  bool (*plan)(const DecodedImage& image, LayoutPlan& plan) noexcept;
  const char* too_large;  // why an image the plan refuses does not fit
};

// Every layout, in the order of their values.
std::span<const LayoutEntry> Layouts() noexcept;

// The row of a layout.
const LayoutEntry& LayoutOf(Layout layout) noexcept;

// The row of a layout's value; null for a value that names none (a C caller's int).
const LayoutEntry* FindLayout(int value) noexcept;

// The row a name asks for: a layout's name ("tga", "TGA"), its extension (".tga"),
// or a file name that ends with it ("out/Photo.TGA"), case-insensitively. Null for
// anything else, a null name included.
const LayoutEntry* FindLayoutByName(const char* name) noexcept;

}  // namespace tarvelo
