// Writes the sample picture the README converts: a 97x61 RGBA PNG with an "F" in
// red on a blue gradient and a transparent band, so that flips, red/blue swaps
// and alpha flattening are all visible in the converted files.
#include <cstdint>
#include <cstdio>
#include <vector>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_image_write.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
    return 2;
  }
  constexpr int kWidth = 97;
  constexpr int kHeight = 61;
  std::vector<uint8_t> rgba(static_cast<size_t>(kWidth) * kHeight * 4);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      uint8_t* p = &rgba[(static_cast<size_t>(y) * kWidth + x) * 4];
      const int column = x * 6 / kWidth;
      const int row = y * 5 / kHeight;
      const bool ink = column == 1 || (row == 0 && column <= 4) || (row == 2 && column <= 3);
      p[0] = static_cast<uint8_t>(ink ? 230 : 20);
      p[1] = static_cast<uint8_t>(ink ? 30 : 40 + y * 2);
      p[2] = static_cast<uint8_t>(ink ? 40 : 120 + x);
      // A band on the right fades out, so flattening against magenta shows there.
      p[3] = static_cast<uint8_t>(x < 72 ? 255 : 255 - (x - 72) * 10);
    }
  }
  if (stbi_write_png(argv[1], kWidth, kHeight, 4, rgba.data(), kWidth * 4) == 0) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
