#pragma once

#include <cstddef>
#include <cstdio>

namespace tarvelo {

// Copies `text` (null: "") into `out` (capacity `size`), truncating and always
// terminating. Does nothing when `out` is null or `size` is 0.
inline void CopyText(const char* text, char* out, size_t size) noexcept {
  if (out != nullptr && size > 0) {
    (void)std::snprintf(out, size, "%s", text != nullptr ? text : "");
  }
}

// The system's message for an errno value, copied as CopyText does. Thread-safe.
// Each system's is in its platform/file_system_*.cpp.
void CopyErrorText(int error_number, char* out, size_t size) noexcept;

}  // namespace tarvelo
