// Path narrowing on arbitrary wide strings: every wchar_t value, any length. The
// result is compared with an independent UTF-8 encoding: a path that fits the
// system's limit (PATH_MAX) comes out exactly as encoded (non-scalar values as '?'),
// a longer one comes out null; nothing is ever written past the buffer.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_target.h"
#include "platform/file_system.h"

namespace {

std::string ReferenceUtf8(const std::vector<wchar_t>& wide) {
  std::string out;
  for (const wchar_t unit : wide) {
    if (unit == L'\0') {
      break;
    }
    auto cp = static_cast<uint32_t>(static_cast<int32_t>(unit));
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      cp = '?';
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each input byte pair widens to one wchar_t so that short inputs reach long paths;
  // a leading flag byte switches to full 32-bit values.
  std::vector<wchar_t> wide;
  const bool full = size > 0 && (data[0] & 1U) != 0;
  const size_t step = full ? 4 : 2;
  for (size_t i = 1; i + step <= size; i += step) {
    uint32_t value = 0;
    std::memcpy(&value, data + i, step);
    wide.push_back(static_cast<wchar_t>(value));
  }
  wide.push_back(L'\0');
  const tarvelo::NarrowedPath narrowed(wide.data());
  const std::string expected = ReferenceUtf8(wide);
  const bool fits = expected.size() < PATH_MAX;
  if (fits != (narrowed.c_str() != nullptr) || (fits && expected != narrowed.c_str())) {
    static_cast<void>(
        std::fprintf(stderr, "narrowing differs from the reference (%zu bytes expected)\n", expected.size()));
    std::abort();
  }
  return 0;
}
