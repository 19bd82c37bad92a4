#pragma once

#include "writer/decoded_image.h"
#include "writer/write_failure.h"

namespace tarvelo {

enum class Layout { kTga, kBmp };

// Writes `image` to `destination_path` in the given layout; 1 when written.
int WriteLayout(Layout layout, const char* destination_path, const DecodedImage& image,
                WriteFailure* failure) noexcept;

}  // namespace tarvelo
