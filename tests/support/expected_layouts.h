#pragma once

#include "file_bytes.h"
#include "test_images.h"

namespace tarvelo::test {

// The exact files the library must write for `image`, built field by field from
// the two layouts' byte tables, independently of the library's writer.

// 18-byte header (type 2, 24 bits, or 32 bits with descriptor 8 when the image
// has alpha), rows bottom-up, blue green red [alpha], grey repeated three times.
Bytes ExpectedTgaFile(const Image& image);

// 54-byte header, rows bottom-up, blue green red after flattening against magenta,
// each row padded with zeros to a multiple of four bytes.
Bytes ExpectedBmpFile(const Image& image);

}  // namespace tarvelo::test
