#pragma once

#include <string>

#include "test_images.h"

namespace tarvelo::test {

// Decodes a source file with the test's own copy of the decoder the library uses,
// keeping the source's channel count: the image the library must write out.
// False when the file does not decode.
bool DecodeReference(const std::string& path, Image& image);

}  // namespace tarvelo::test
