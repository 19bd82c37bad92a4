#pragma once

namespace tarvelo::test_seams {

// A test seam of the tests' copy of the library (tarvelo_internal_seamed, which
// compiles the decode step with TARVELO_TEST_SEAMS); the shared library has none.
// When set, the hook is called with `context` after a source has passed the guard
// and the size check and before the decoder reads it, so that tests can change the
// source at exactly that moment.
using SourceCheckedHook = void (*)(void* context);
void SetSourceCheckedHook(SourceCheckedHook hook, void* context) noexcept;

// Calls the hook, if any: the decode step's call into the seam.
void RunSourceCheckedHook() noexcept;

}  // namespace tarvelo::test_seams
