// PNM (P5/P6): the decoder reads the pixels with one bulk read that leaves its buffer
// uninitialised past the end of a short file, accepts a zero width or height as an
// image, and accumulates header numbers in an int without an overflow check.
#include <climits>
#include <cstdint>

#include "guard/input_guard.h"

namespace tarvelo::guard {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The decoder's whitespace and '#' comment skipping; `c` is the current character.
void SkipWhitespace(SourceReader& reader, char& c) {
  for (;;) {
    while (!reader.AtEnd() && IsSpace(c)) {
      c = static_cast<char>(reader.Get8());
    }
    if (reader.AtEnd() || c != '#') {
      break;
    }
    while (!reader.AtEnd() && c != '\n' && c != '\r') {
      c = static_cast<char>(reader.Get8());
    }
  }
}

// Reads a decimal number as the decoder does; false when it would overflow an int.
bool ReadNumber(SourceReader& reader, char& c, int64_t& value) {
  value = 0;
  while (!reader.AtEnd() && IsDigit(c)) {
    value = value * 10 + (c - '0');
    if (value > INT_MAX) {
      return false;
    }
    c = static_cast<char>(reader.Get8());
  }
  return true;
}

}  // namespace

const char* CheckPnm(SourceReader& reader) noexcept {
  reader.Get8();  // 'P'
  const uint64_t channels = reader.Get8() == '6' ? 3 : 1;
  char c = static_cast<char>(reader.Get8());
  int64_t numbers[3] = {};  // width, height, maximum value
  for (int64_t& number : numbers) {
    SkipWhitespace(reader, c);
    if (!ReadNumber(reader, c, number)) {
      return "PNM header number too large";
    }
  }
  const auto [width, height, max_value] = numbers;
  if (max_value > 65535) {
    return nullptr;  // refused by the decoder
  }
  if (width == 0 || height == 0) {
    return reader.AtEnd() && max_value == 0 ? kFileEndsEarly
                                            : "PNM has zero width or height";  // a cut header
  }
  if (width > kDecoderMaxSide || height > kDecoderMaxSide) {
    return nullptr;  // refused by the decoder
  }
  const uint64_t bytes = channels * static_cast<uint64_t>(width) * static_cast<uint64_t>(height) *
                         static_cast<uint64_t>(max_value > 255 ? 2 : 1);
  // The pixels start right after the character that ended the maximum value.
  return bytes > INT_MAX || reader.Has(bytes) ? nullptr : "PNM pixel data ends early";
}

// Sources the decoder recognises as no format but that are a kind of PNM it does
// not read (it reads binary greymaps and pixmaps only): saying so beats "not an
// image format".
const char* CheckUnread(SourceReader& reader) noexcept {
  if (!reader.Has(3) || reader.Get8() != 'P') {
    return nullptr;
  }
  const uint8_t kind = reader.Get8();
  const uint8_t after = reader.Get8();
  // PNM's magic number is followed by whitespace (or a comment).
  if (after != ' ' && after != '\t' && after != '\n' && after != '\r' && after != '#') {
    return nullptr;
  }
  if (kind >= '1' && kind <= '3') {
    return "plain-text PNM (P1-P3) is not read, only binary greymaps and pixmaps (P5, P6)";
  }
  if (kind == '4') {
    return "PNM bitmap (P4) is not read, only binary greymaps and pixmaps (P5, P6)";
  }
  return nullptr;
}

}  // namespace tarvelo::guard
