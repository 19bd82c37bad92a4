// The whole conversion, from a source file's bytes to both output layouts, through
// the status API. Besides the sanitizers' checks it holds the conversion to its
// promises: a converted destination has exactly the size its header describes, a
// failed one leaves no file at all, and no temporary file is ever left behind.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "TarveloConvert.h"
#include "fuzz_target.h"
#include "scratch_directory.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  static_cast<void>(std::fprintf(stderr, "conversion invariant broken: %s (%s)\n", what, detail.c_str()));
  std::abort();
}

std::string ReadAll(const std::string& path) {
  std::string bytes;
  if (std::FILE* file = std::fopen(path.c_str(), "rb"); file != nullptr) {
    char block[65536];
    for (size_t got = 0; (got = std::fread(block, 1, sizeof block, file)) > 0;) {
      bytes.append(block, got);
    }
    static_cast<void>(std::fclose(file));
  }
  return bytes;
}

uint32_t Le(const std::string& bytes, size_t offset, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) {
    value = (value << 8U) | static_cast<uint8_t>(bytes[offset + static_cast<size_t>(i)]);
  }
  return value;
}

// The size the header of a written file promises.
uint64_t PromisedSize(const std::string& bytes, TarveloLayout layout) {
  if (layout == TARVELO_LAYOUT_TGA) {
    if (bytes.size() < 18) {
      Fail("TGA shorter than its header", std::to_string(bytes.size()));
    }
    return 18 + uint64_t{Le(bytes, 12, 2)} * Le(bytes, 14, 2) * (Le(bytes, 16, 1) / 8);
  }
  if (bytes.size() < 54) {
    Fail("BMP shorter than its header", std::to_string(bytes.size()));
  }
  const uint64_t width = Le(bytes, 18, 4);
  const uint64_t height = Le(bytes, 22, 4);
  const uint64_t computed = 54 + height * (3 * width + width % 4);
  if (computed != Le(bytes, 2, 4)) {
    Fail("BMP size field disagrees with its dimensions", std::to_string(computed));
  }
  return computed;
}

void Convert(const std::string& source, const std::string& destination, TarveloLayout layout) {
  static_cast<void>(std::remove(destination.c_str()));
  char detail[256];
  const TarveloStatus status =
      TarveloConvert(source.c_str(), destination.c_str(), layout, detail, sizeof detail);
  const std::string written = ReadAll(destination);
  if (status == TARVELO_STATUS_CONVERTED) {
    if (PromisedSize(written, layout) != written.size()) {
      Fail("written size differs from the header's", std::to_string(written.size()));
    }
  } else if (std::FILE* file = std::fopen(destination.c_str(), "rb"); file != nullptr) {
    static_cast<void>(std::fclose(file));
    Fail("a failed conversion left a file", TarveloStatusMessage(status));
  }
  static_cast<void>(std::remove(destination.c_str()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tarvelo::fuzz::ScratchDirectory;
  const std::string source = ScratchDirectory() + "/source";
  if (std::FILE* file = std::fopen(source.c_str(), "wb"); file != nullptr) {
    const bool written = std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) {
      std::abort();
    }
  } else {
    std::abort();
  }
  Convert(source, ScratchDirectory() + "/out.tga", TARVELO_LAYOUT_TGA);
  Convert(source, ScratchDirectory() + "/out.bmp", TARVELO_LAYOUT_BMP);
  if (const std::string left = tarvelo::fuzz::ScratchEntries(); left != "source ") {
    Fail("files left behind", left);
  }
  return 0;
}
