#include "writer/field_template.h"

#include <cstddef>

namespace tarvelo {

void EmitFields(ByteSink& sink, const char* field_template, std::span<const int32_t> values) noexcept {
  if (field_template == nullptr) {
    return;
  }
  size_t next_value = 0;
  for (const char* field = field_template; *field != '\0'; ++field) {
    if (*field == ' ') {
      continue;
    }
    int byte_count = 0;
    switch (*field) {
      case '1': byte_count = 1; break;
      case '2': byte_count = 2; break;
      case '4': byte_count = 4; break;
      default: return;  // an unknown character ends the header
    }
    if (next_value == values.size()) {
      return;
    }
    // Unsigned arithmetic gives the two's-complement low bytes of negative values.
    const auto value = static_cast<uint32_t>(values[next_value++]);
    for (int i = 0; i < byte_count; ++i) {
      sink.Put(static_cast<uint8_t>(value >> (8 * i)));
    }
  }
}

}  // namespace tarvelo
