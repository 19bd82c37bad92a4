#include "platform/text_copy.h"

#include <cstring>

namespace tarvelo {

void CopyText(const char* text, char* out, size_t size) noexcept {
  if (out == nullptr || size == 0) {
    return;
  }
  const size_t length = text != nullptr ? std::strlen(text) : 0;
  const size_t kept = length < size ? length : size - 1;
  if (kept > 0) {
    std::memcpy(out, text, kept);
  }
  out[kept] = '\0';
}

void CopyErrorText(int error_number, char* out, size_t size) noexcept {
  char message[256] = {};
#if defined(_WIN32)
  strerror_s(message, sizeof message, error_number);
  CopyText(message, out, size);
#elif defined(__GLIBC__) && defined(_GNU_SOURCE)
  CopyText(strerror_r(error_number, message, sizeof message), out, size);
#else
  CopyText(strerror_r(error_number, message, sizeof message) == 0 ? message : "unknown error", out, size);
#endif
}

}  // namespace tarvelo
