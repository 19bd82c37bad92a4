// A consumer of the library in C++ (built as C++11 and later): writes a 3x2 PPM,
// converts it through the frozen wide-path exports and the status API, and checks
// the files' sizes. Usage: consumer OUTPUT_DIR
#include <TarveloConvert.h>
#include <TarveloImageTGA.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

namespace {

long FileSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  return in ? static_cast<long>(in.tellg()) : -1L;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: consumer OUTPUT_DIR\n";
    return 2;
  }
  const std::string dir = argv[1];
  const std::string source = dir + "/cpp-source.ppm";
  {
    std::ofstream out(source, std::ios::binary);
    const unsigned char pixels[18] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    out << "P6\n3 2\n255\n";
    out.write(reinterpret_cast<const char*>(pixels), sizeof pixels);
  }
  // The directory name is plain ASCII in the tests, so widening byte by byte is exact.
  if (BMP2TGA(Widen(source).c_str(), Widen(dir + "/cpp-out.tga").c_str()) != 999 ||
      TGA2BMP(Widen(source).c_str(), Widen(dir + "/cpp-out.bmp").c_str()) != 999) {
    std::cerr << "exports must return 999\n";
    return 1;
  }
  if (FileSize(dir + "/cpp-out.tga") != 18 + 3 * 2 * 3 || FileSize(dir + "/cpp-out.bmp") != 54 + 12 * 2) {
    std::cerr << "unexpected output sizes\n";
    return 1;
  }
  const TarveloStatus missing = TarveloConvert((dir + "/missing.png").c_str(), (dir + "/x.tga").c_str(),
                                               TARVELO_LAYOUT_TGA, nullptr, 0);
  if (missing != TARVELO_STATUS_SOURCE_UNREADABLE) {
    std::cerr << "a missing source must be reported: " << TarveloStatusMessage(missing) << "\n";
    return 1;
  }
  std::cout << "C++ consumer: converted\n";
  return 0;
}
