// The C library functions and compiler helpers that the CE image needs and COREDLL
// lacks (errno, snprintf, the float forms of ldexp and pow, 64-bit
// division, byte and 64-bit atomics); wince_runtime.S binds gcc's names to them.
// Compiled without built-ins, so that no body here becomes a call to itself.
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

extern "C" {
int _vsnprintf(char* out, size_t size, const char* format, va_list arguments);
double ldexp(double value, int exponent);
double pow(double base, double exponent);
long InterlockedCompareExchange(volatile long* target, long exchange, long comparand);
long InterlockedExchange(volatile long* target, long value);

// CE keeps no errno: one for the process. Only the library's own failure paths
// read it, right after setting it.
int* __errno_location() {
  static int error = 0;
  return &error;
}

int snprintf(char* __restrict out, size_t size, const char* __restrict format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int written = _vsnprintf(out, size, format, arguments);
  va_end(arguments);
  if (size > 0 && (written < 0 || static_cast<size_t>(written) >= size)) {
    out[size - 1] = '\0';  // CE's _vsnprintf does not terminate a cut text
  }
  return written;
}

float ldexpf(float value, int exponent) {
  return static_cast<float>(ldexp(static_cast<double>(value), exponent));
}
float powf(float base, float exponent) {
  return static_cast<float>(pow(static_cast<double>(base), static_cast<double>(exponent)));
}

int __popcountsi2(unsigned value) {  // NOLINT(bugprone-reserved-identifier): gcc's helper
  int count = 0;
  for (; value != 0; value &= value - 1) {
    ++count;
  }
  return count;
}

uint64_t TarveloUnsignedDivide64(uint64_t dividend, uint64_t divisor, uint64_t* remainder) {
  uint64_t quotient = 0;
  uint64_t rest = 0;
  for (int bit = 63; bit >= 0; --bit) {
    rest = (rest << 1U) | ((dividend >> static_cast<unsigned>(bit)) & 1U);
    if (divisor != 0 && rest >= divisor) {
      rest -= divisor;
      quotient |= uint64_t{1} << static_cast<unsigned>(bit);
    }
  }
  *remainder = rest;
  return quotient;
}

int64_t TarveloSignedDivide64(int64_t dividend, int64_t divisor, int64_t* remainder) {
  const auto magnitude = [](int64_t value) {
    return value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  };
  uint64_t rest = 0;
  const uint64_t quotient = TarveloUnsignedDivide64(magnitude(dividend), magnitude(divisor), &rest);
  // C's division truncates: the remainder has the dividend's sign.
  *remainder = static_cast<int64_t>(dividend < 0 ? 0 - rest : rest);
  return static_cast<int64_t>((dividend < 0) != (divisor < 0) ? 0 - quotient : quotient);
}

unsigned char TarveloCompareAndSwapByte(volatile unsigned char* target, unsigned char expected,
                                        unsigned char desired) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the aligned word that holds the byte
  auto* word = reinterpret_cast<volatile long*>(reinterpret_cast<uintptr_t>(target) & ~uintptr_t{3});
  const unsigned shift = 8U * static_cast<unsigned>(reinterpret_cast<uintptr_t>(target) & 3U);
  for (;;) {
    const auto old = static_cast<unsigned long>(*word);
    const auto current = static_cast<unsigned char>(old >> shift);
    if (current != expected) {
      return current;
    }
    const unsigned long replaced =
        (old & ~(0xFFUL << shift)) | (static_cast<unsigned long>(desired) << shift);
    if (InterlockedCompareExchange(word, static_cast<long>(replaced), static_cast<long>(old)) ==
        static_cast<long>(old)) {
      return current;
    }
  }
}

// 64-bit atomics through one process-wide lock word.
namespace {
volatile long g_wide_lock = 0;
void LockWide() {
  while (InterlockedExchange(&g_wide_lock, 1) != 0) {
  }
}
void UnlockWide() { (void)InterlockedExchange(&g_wide_lock, 0); }
}  // namespace

uint64_t TarveloAtomicLoad64(const volatile uint64_t* target, int /*order*/) {
  LockWide();
  const uint64_t value = *target;
  UnlockWide();
  return value;
}

void TarveloAtomicStore64(volatile uint64_t* target, uint64_t value, int /*order*/) {
  LockWide();
  *target = value;
  UnlockWide();
}
}  // extern "C"
