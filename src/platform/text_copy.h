#pragma once

#include <cstddef>

namespace tarvelo {

// Copies `text` (null: "") into `out` (capacity `size`), truncating and always
// terminating. Does nothing when `out` is null or `size` is 0.
void CopyText(const char* text, char* out, size_t size) noexcept;

// The system's message for an errno value, copied as CopyText does. Thread-safe.
void CopyErrorText(int error_number, char* out, size_t size) noexcept;

}  // namespace tarvelo
