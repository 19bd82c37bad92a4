#pragma once

#include "platform/file_system.h"

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

}  // namespace tarvelo::test_seams
