#pragma once

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

// The number of bytes EmitFields writes for the same template and values.
uint64_t FieldsSize(const char* field_template, std::span<const int32_t> values) noexcept;

}  // namespace tarvelo
