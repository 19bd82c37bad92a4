#pragma once

namespace tarvelo::testing {

// A test seam: when set, called with `context` after a source has passed the guard
// and the size check and before the decoder reads it, so that tests can change the
// source at exactly that moment. Unset (the default) it costs one atomic load per
// conversion. Not exported from the shared library.
using SourceCheckedHook = void (*)(void* context);
void SetSourceCheckedHook(SourceCheckedHook hook, void* context) noexcept;

// Calls the hook, if any.
void RunSourceCheckedHook() noexcept;

}  // namespace tarvelo::testing
