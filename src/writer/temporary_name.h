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

inline constexpr std::string_view kMark = ".tarvelo-";
inline constexpr std::string_view kEnd = ".tmp";
inline constexpr size_t kDigits = 12;
// What follows the stem.
inline constexpr size_t kTail = kMark.size() + kDigits + kEnd.size();
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
  using temporary_name::kDigits;
  platform::PathText<Char> path = directory;
  const auto append = [&path](std::string_view text) {
    for (const char letter : text) {
      path.Append(Char(letter));
    }
  };
  append(".");
  path.Append(name.c_str(), name.size() < temporary_name::kMaxStem ? name.size() : temporary_name::kMaxStem);
  append(temporary_name::kMark);
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t digit = 0; digit < kDigits; ++digit, bits >>= 4U) {
    append({&kHex[bits & 0xFU], 1});
  }
  append(temporary_name::kEnd);
  return path;
}

// Whether `name` (a name in a directory, no directory part) has the temporary
// pattern.
template <typename Char>
bool IsTemporaryName(std::basic_string_view<Char> name) {
  using namespace temporary_name;
  if (name.size() < kTail + 2 || name.front() != Char('.')) {
    return false;
  }
  for (size_t index = 0; index < kTail; ++index) {
    const Char unit = name[name.size() - kTail + index];
    if (index >= kMark.size() && index < kMark.size() + kDigits) {
      if ((unit < Char('0') || unit > Char('9')) && (unit < Char('a') || unit > Char('f'))) {
        return false;
      }
    } else if (unit != Char(index < kMark.size() ? kMark[index] : kEnd[index - kMark.size() - kDigits])) {
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
  if (name.size() < temporary_name::kTail + 2) {
    return {};
  }
  const std::basic_string_view<Char> stem(name.data() + 1, name.size() - temporary_name::kTail - 1);
  return stem.size() < temporary_name::kMaxStem ? stem : std::basic_string_view<Char>();
}

}  // namespace tarvelo
