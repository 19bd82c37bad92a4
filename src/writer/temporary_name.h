#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/path_text.h"

namespace tarvelo {

// The name of a destination's temporary file, on every platform:
// `.<stem>.tarvelo-<12 lower-case hex digits>.tmp` beside the destination. The writer
// makes such names (TemporaryName) and the sweep removes only files whose names
// match (IsTemporaryName), so both read this one pattern.
namespace temporary_name {

// What follows the stem; each '#' stands for a lower-case hex digit.
inline constexpr std::string_view kTail = ".tarvelo-############.tmp";
// Keeps the whole name under the 255 characters (or bytes) a name may have.
inline constexpr size_t kMaxStem = 96;

// A process looks for stray temporary files in a directory once in this time (seconds): a
// batch writes thousands of files into one directory, and reading it for each
// would cost more than the conversions.
inline constexpr uint64_t kSweepSeconds = 60;

}  // namespace temporary_name

// `directory` (empty, or ending in its separator) followed by the temporary name
// for the destination named `name` in it, with `bits` as its digits.
template <typename Char>
platform::PathText<Char> TemporaryName(const platform::PathText<Char>& directory,
                                       const platform::PathText<Char>& name, uint64_t bits) {
  static constexpr char kHex[] = "0123456789abcdef";
  platform::PathText<Char> path = directory;
  path.Append(Char('.'));
  path.Append(name.c_str(), name.size() < temporary_name::kMaxStem ? name.size() : temporary_name::kMaxStem);
  for (const char letter : temporary_name::kTail) {
    path.Append(Char(letter == '#' ? kHex[bits & 0xFU] : letter));
    bits >>= letter == '#' ? 4U : 0U;
  }
  return path;
}

// Whether `name` (a name in a directory, no directory part) has the temporary
// pattern.
template <typename Char>
bool IsTemporaryName(std::basic_string_view<Char> name) {
  using temporary_name::kTail;
  if (name.size() < kTail.size() + 2 || name.front() != Char('.')) {
    return false;
  }
  const Char* unit = name.data() + name.size() - kTail.size();
  for (const char letter : kTail) {
    const Char u = *unit++;
    const bool hex = (u >= Char('0') && u <= Char('9')) || (u >= Char('a') && u <= Char('f'));
    if (letter == '#' ? !hex : u != Char(letter)) {
      return false;
    }
  }
  return true;
}

// The destination's name that the temporary name `name` (IsTemporaryName) was made
// for; empty when the name was shortened to temporary_name::kMaxStem and so may
// not be whole.
template <typename Char>
std::basic_string_view<Char> TemporaryStem(std::basic_string_view<Char> name) {
  if (name.size() < temporary_name::kTail.size() + 2) {
    return {};
  }
  const std::basic_string_view<Char> stem(name.data() + 1, name.size() - temporary_name::kTail.size() - 1);
  return stem.size() < temporary_name::kMaxStem ? stem : std::basic_string_view<Char>();
}

}  // namespace tarvelo
