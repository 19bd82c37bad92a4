#pragma once

#include "writer/decoded_image.h"
#include "writer/write_failure.h"

namespace tarvelo {

// Largest side the TGA header's 16-bit width and height fields can hold.
inline constexpr int32_t kTgaMaxSide = 65535;

// Uncompressed true-colour TGA (type 2): 24 bits per pixel for 1 and 3 channels,
// 32 bits (alpha after blue, green, red) for 2 and 4. Rows bottom-up, no footer.
// Refuses (returns 0, writes nothing) an image with a side over 65535.
int WriteTgaFile(const char* destination_path, const DecodedImage& image,
                 WriteFailure* failure = nullptr) noexcept;

// Uncompressed 24-bit BMP with a 40-byte information header, rows bottom-up and
// padded to four bytes; RGBA flattened against magenta, grey alpha dropped.
// Refuses (returns 0, writes nothing) an image whose file size does not fit the
// header's 32-bit field.
int WriteBmpFile(const char* destination_path, const DecodedImage& image,
                 WriteFailure* failure = nullptr) noexcept;

}  // namespace tarvelo
