// Writes the seed corpus of the fuzz targets: for the conversion, small valid
// sources of every format and variant the decoder reads plus one of each hostile
// class; for the writer and path narrowing, a few structured inputs. Files it made
// before are replaced; regression inputs are left alone.
// Usage: tarvelo-make-seed-corpus CORPUS_DIRECTORY (holding conversion/, writer/, ...)
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "file_bytes.h"
#include "source_builders.h"

namespace {

using tarvelo::test::Bytes;

void Put32(Bytes& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
}

// A writer input: width (2 bytes), height, channels, four stream parameters, the
// template as alphabet indices, the values, then pixel bytes.
Bytes WriterInput(uint32_t width, uint8_t height, uint8_t channels, std::vector<uint8_t> params,
                  const std::vector<uint8_t>& template_indices, const std::vector<int32_t>& values) {
  Bytes out = {static_cast<uint8_t>(width), static_cast<uint8_t>(width >> 8U), height, channels};
  out.insert(out.end(), params.begin(), params.end());
  out.push_back(static_cast<uint8_t>(template_indices.size()));
  out.insert(out.end(), template_indices.begin(), template_indices.end());
  out.push_back(static_cast<uint8_t>(values.size()));
  for (const int32_t value : values) {
    Put32(out, static_cast<uint32_t>(value));
  }
  for (int i = 0; i < 64; ++i) {
    out.push_back(static_cast<uint8_t>(i * 29 + 7));
  }
  return out;
}

// A path-narrowing input: a flag byte (1: 32-bit units) and the units.
Bytes PathInput(const std::u32string& text) {
  Bytes out = {1};
  for (const char32_t unit : text) {
    Put32(out, static_cast<uint32_t>(unit));
  }
  return out;
}

void Write(const std::filesystem::path& directory, const std::string& name, const Bytes& bytes) {
  std::filesystem::create_directories(directory);
  tarvelo::test::WriteFileBytes((directory / name).string(), bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    static_cast<void>(std::fprintf(stderr, "usage: %s CORPUS_DIRECTORY\n", argv[0]));
    return 2;
  }
  const std::filesystem::path root(argv[1]);
  for (const char* target : {"conversion", "memory", "writer", "narrow_path"}) {
    if (std::filesystem::is_directory(root / target)) {
      for (const auto& entry : std::filesystem::directory_iterator(root / target)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("valid-", 0) == 0 || name.rfind("hostile-", 0) == 0 || name.rfind("seed-", 0) == 0) {
          static_cast<void>(std::filesystem::remove(entry.path()));
        }
      }
    }
  }
  size_t written = 0;
  for (const auto& source : tarvelo::test::ValidSources()) {
    // One size per variant keeps the corpus small; 8 pixels wide is the narrowest
    // width at which HDR scanlines are run-length coded.
    if (source.name.find("-8x") != std::string::npos) {
      Write(root / "conversion", "valid-" + source.name, source.bytes);
      ++written;
    }
    // The memory target: one grey and one RGBA picture of every format.
    if (source.name.find("-8x10-c1") != std::string::npos ||
        source.name.find("-8x10-c4") != std::string::npos) {
      Write(root / "memory", "valid-" + source.name, source.bytes);
      ++written;
    }
  }
  for (const auto& source : tarvelo::test::HostileSources()) {
    Write(root / "conversion", "hostile-" + source.name, source.bytes);
    Write(root / "memory", "hostile-" + source.name, source.bytes);
    written += 2;
  }
  // '1' '2' '4' ' ' are indices 0 1 2 3 of the writer fuzzer's template alphabet.
  const std::vector<uint8_t> tga = {0, 0, 0, 3, 1, 1, 0, 3, 1, 1, 1, 1, 3, 0, 0};
  const std::vector<uint8_t> bmp = {0, 0, 3, 2, 3, 1, 1, 3, 2, 2, 3, 2, 2, 3, 1, 1, 3, 2, 2, 2, 2, 2, 2};
  Write(root / "writer", "seed-tga-rgba",
        WriterInput(5, 3, 4, {0xFF, 0xFF, 1, 1}, tga, {0, 0, 2, 0, 0, 0, 0, 0, 5, 3, 32, 8}));
  Write(root / "writer", "seed-tga-grey",
        WriterInput(7, 2, 1, {0xFF, 0xFF, 0, 1}, tga, {0, 0, 2, 0, 0, 0, 0, 0, 7, 2, 24, 0}));
  Write(root / "writer", "seed-bmp-pad3",
        WriterInput(3, 4, 3, {0xFF, 0xFF, 0, 4}, bmp,
                    {'B', 'M', 90, 0, 0, 54, 40, 3, 4, 1, 24, 0, 0, 0, 0, 0, 0}));
  Write(root / "writer", "seed-bmp-flatten",
        WriterInput(6, 5, 4, {0xFF, 0xFF, 0, 3}, bmp, {'B', 'M', 0, 0, 0, 54, 40, 6, 5, 1, 24}));
  Write(root / "writer", "seed-zero-width", WriterInput(0, 3, 2, {1, 1, 0xFF, 2}, {0, 5, 1}, {7, 8}));
  Write(root / "writer", "seed-bad-channels", WriterInput(4, 4, 5, {1, 0, 0, 6}, {2, 2}, {-1}));
  Write(root / "narrow_path", "seed-ascii", PathInput(U"/tmp/images/photo 1.png"));
  Write(root / "narrow_path", "seed-every-length", PathInput(U"/\u00e9\u4e2d\U0001F600.tga"));
  Write(root / "narrow_path", "seed-not-scalar",
        PathInput(std::u32string{U'/', char32_t{0xD800}, char32_t{0x110000}, U'x'}));
  Write(root / "narrow_path", "seed-long", PathInput(std::u32string(1100, U'\u4e2d')));
  written += 10;
  static_cast<void>(std::printf("wrote %zu seed files under %s\n", written, root.string().c_str()));
  return 0;
}
