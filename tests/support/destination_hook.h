#pragma once

#include "platform/file_system.h"
#include "writer/temporary_name.h"

namespace tarvelo::test_seams {

// Has the library's file primitives call `hook` whenever a finished file, named and
// still held by its writer, is about to be moved over its destination, so that
// tests can stop or kill a writer at exactly that moment. The shipped algorithm
// runs unchanged around it.
inline void SetTemporaryNamedHook(void (*hook)()) noexcept {
  static void (*called)() = nullptr;
  static auto* const replace = platform::files.replace;
  called = hook;
  platform::files.replace = [](const platform::NativePath& from, const platform::NativePath& to) {
    if (called != nullptr) {
      called();
    }
    return replace(from, to);
  };
}

// Moves the library's clock on past the sweep interval, so that the next
// conversion into any directory looks for strays there.
inline void ForceNextSweep() noexcept {
  static uint64_t ahead = 0;
  static auto* const now = platform::files.seconds_now;
  ahead += temporary_name::kSweepSeconds;
  platform::files.seconds_now = [] { return now() + ahead; };
}

}  // namespace tarvelo::test_seams
