#include <cstdint>

#include "api/narrow_path.h"

static_assert(sizeof(wchar_t) == 4, "UTF-8 narrowing expects wchar_t to hold UTF-32");

namespace tarvelo {
namespace {

constexpr char32_t kReplacement = U'?';

bool IsScalarValue(char32_t code_point) {
  return code_point <= 0x10FFFF && (code_point < 0xD800 || code_point > 0xDFFF);
}

// Encodes one code point at `out` if it fits before `end`; returns the new position
// or null when it does not fit.
char* EncodeUtf8(char32_t cp, char* out, const char* end) {
  const auto room = end - out;
  const auto byte = [](uint32_t value) { return static_cast<char>(static_cast<uint8_t>(value)); };
  if (cp < 0x80) {
    if (room < 1) {
      return nullptr;
    }
    *out++ = byte(cp);
  } else if (cp < 0x800) {
    if (room < 2) {
      return nullptr;
    }
    *out++ = byte(0xC0U | (cp >> 6U));
    *out++ = byte(0x80U | (cp & 0x3FU));
  } else if (cp < 0x10000) {
    if (room < 3) {
      return nullptr;
    }
    *out++ = byte(0xE0U | (cp >> 12U));
    *out++ = byte(0x80U | ((cp >> 6U) & 0x3FU));
    *out++ = byte(0x80U | (cp & 0x3FU));
  } else {
    if (room < 4) {
      return nullptr;
    }
    *out++ = byte(0xF0U | (cp >> 18U));
    *out++ = byte(0x80U | ((cp >> 12U) & 0x3FU));
    *out++ = byte(0x80U | ((cp >> 6U) & 0x3FU));
    *out++ = byte(0x80U | (cp & 0x3FU));
  }
  return out;
}

}  // namespace

void NarrowPath(const wchar_t* wide, NarrowedPath& narrowed) noexcept {
  narrowed.text_[0] = '\0';
  narrowed.usable_ = false;
  narrowed.too_long_ = false;
  if (wide == nullptr) {
    return;
  }
  char* out = narrowed.text_;
  // One byte stays free for the terminator.
  const char* const end = narrowed.text_ + NarrowedPath::kCapacity - 1;
  for (const wchar_t* in = wide; *in != L'\0'; ++in) {
    auto code_point = static_cast<char32_t>(*in);
    if (!IsScalarValue(code_point)) {
      code_point = kReplacement;
    }
    out = EncodeUtf8(code_point, out, end);
    if (out == nullptr) {
      narrowed.text_[0] = '\0';
      narrowed.too_long_ = true;
      return;
    }
  }
  *out = '\0';
  narrowed.usable_ = true;
}

}  // namespace tarvelo
