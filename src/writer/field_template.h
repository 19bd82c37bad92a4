#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "writer/byte_sink.h"

namespace tarvelo {

// Writes a header described by a field template, one character per field:
//   '1' one byte (low 8 bits of the value),
//   '2' two bytes little-endian (the value narrowed to 16 bits),
//   '4' four bytes little-endian,
//   ' ' nothing (groups fields for the reader, consumes no value).
// Any other character, the end of the template, or running out of values ends the
// header: nothing after it is written. Each field consumes the next value.
void EmitFields(ByteSink& sink, const char* field_template, std::span<const int32_t> values) noexcept;

// The number of bytes EmitFields writes for the same template and `value_count`
// values: the one measure of a header's size, usable at compile time so that a
// layout can take its header's size from its template.
constexpr uint64_t FieldsSize(const char* field_template, size_t value_count) noexcept {
  if (field_template == nullptr) {
    return 0;
  }
  uint64_t size = 0;
  for (const char* field = field_template; *field != '\0' && value_count > 0; ++field) {
    if (*field == ' ') {
      continue;
    }
    if (*field != '1' && *field != '2' && *field != '4') {
      break;
    }
    size += static_cast<uint64_t>(*field - '0');
    --value_count;
  }
  return size;
}

}  // namespace tarvelo
