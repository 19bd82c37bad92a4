// Sources the decoder recognises as no format but that are a kind of image it does
// not read: saying so beats "not an image format". The decoder reads PNM only as
// binary greymap and pixmap (P5, P6).
#include <cstdint>

#include "guard/format_checks.h"

namespace tarvelo::guard {

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
