// Radiance HDR: a run-length scanline that runs into the end of the file makes the
// decoder loop forever (every read past the end is a zero count), and flat pixels
// are read with a bulk read that leaves stack bytes uninitialised at the end of a
// short file. Every scanline must be complete and inside the file.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "guard/input_guard.h"

namespace tarvelo::guard {
namespace {

constexpr const char* kPixelsShort = "HDR pixel data ends early";
constexpr const char* kRunsShort = "HDR run-length scanline ends early";
constexpr size_t kTokenCapacity = 1024;  // the decoder's line buffer

// One header line as the decoder reads it: up to the newline, at most 1023
// characters kept, the rest of an over-long line dropped.
void ReadToken(SourceReader& reader, char (&token)[kTokenCapacity]) {
  size_t length = 0;
  char c = static_cast<char>(reader.Get8());
  while (!reader.AtEnd() && c != '\n') {
    token[length++] = c;
    if (length == kTokenCapacity - 1) {
      while (!reader.AtEnd() && reader.Get8() != '\n') {
      }
      break;
    }
    c = static_cast<char>(reader.Get8());
  }
  token[length] = '\0';
}

const char* CheckRunLengthRows(SourceReader& reader, int64_t width, int64_t height) {
  for (int64_t row = 0; row < height; ++row) {
    if (!reader.Has(4)) {
      return kRunsShort;
    }
    const uint32_t c1 = reader.Get8();
    const uint32_t c2 = reader.Get8();
    uint32_t length = reader.Get8();
    if (c1 != 2 || c2 != 2 || (length & 0x80U) != 0) {
      // Not run-length encoded after all: the decoder takes these four bytes as the
      // first pixel and reads every other pixel of the image flat.
      reader.Get8();
      return reader.Has(4 * (static_cast<uint64_t>(width) * static_cast<uint64_t>(height) - 1))
                 ? nullptr
                 : kPixelsShort;
    }
    length = (length << 8U) | reader.Get8();
    if (length != static_cast<uint32_t>(width)) {
      return nullptr;  // refused by the decoder
    }
    for (int channel = 0; channel < 4; ++channel) {
      // A run of one byte (count byte over 128), or a literal of `count` bytes.
      const Verdict verdict =
          CheckRuns(reader, static_cast<uint64_t>(width), kRunsShort, [&reader](uint64_t) {
            const uint32_t byte = reader.Get8();
            return byte > 128 ? RunPacket{byte - 128U, 1} : RunPacket{byte, byte};
          });
      if (verdict) {
        return *verdict;
      }
    }
  }
  return nullptr;
}

}  // namespace

const char* CheckHdr(SourceReader& reader) noexcept {
  char token[kTokenCapacity];
  ReadToken(reader, token);
  if (std::strcmp(token, "#?RADIANCE") != 0 && std::strcmp(token, "#?RGBE") != 0) {
    return nullptr;  // refused by the decoder
  }
  bool valid = false;
  for (ReadToken(reader, token); token[0] != '\0'; ReadToken(reader, token)) {
    valid = valid || std::strcmp(token, "FORMAT=32-bit_rle_rgbe") == 0;
  }
  if (!valid) {
    return nullptr;
  }
  ReadToken(reader, token);
  if (std::strncmp(token, "-Y ", 3) != 0) {
    return nullptr;
  }
  char* cursor = token + 3;
  const auto height = static_cast<int>(std::strtol(cursor, &cursor, 10));
  while (*cursor == ' ') {
    ++cursor;
  }
  if (std::strncmp(cursor, "+X ", 3) != 0) {
    return nullptr;
  }
  const auto width = static_cast<int>(std::strtol(cursor + 3, nullptr, 10));
  // The decoder refuses negative and over-large sides; a zero side decodes to an
  // empty image, which the conversion refuses after decoding.
  if (width <= 0 || height <= 0 || static_cast<uint64_t>(width) > kDecoderMaxSide ||
      static_cast<uint64_t>(height) > kDecoderMaxSide ||
      uint64_t{12} * static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > INT32_MAX) {
    return nullptr;
  }
  if (width < 8 || width >= 32768) {
    return reader.Has(4 * static_cast<uint64_t>(width) * static_cast<uint64_t>(height)) ? nullptr
                                                                                        : kPixelsShort;
  }
  return CheckRunLengthRows(reader, width, height);
}

}  // namespace tarvelo::guard
