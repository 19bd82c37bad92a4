#pragma once

namespace tarvelo::test_seams {

// A test seam of the tests' copy of the library (tarvelo_internal_seamed, which
// compiles the destination file with TARVELO_TEST_SEAMS); the shared library has
// none. When set, the hook is called with `context` when a finished file has its
// temporary name and is about to be moved into place, the writer still holding it,
// so that tests can stop or kill a writer at exactly that moment.
using TemporaryNamedHook = void (*)(void* context);
void SetTemporaryNamedHook(TemporaryNamedHook hook, void* context) noexcept;

// Calls the hook, if any: the destination file's call into the seam.
void RunTemporaryNamedHook() noexcept;

}  // namespace tarvelo::test_seams
