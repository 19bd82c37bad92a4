#pragma once

#include <string>

namespace tarvelo::cli {

#if defined(TARVELO_TOOL_TEST_HOOKS)
// Test builds only (CMake option TARVELO_TOOL_TEST_HOOKS): lets the tests stand in
// for a decoder that crashes or hangs. A worker handed a source whose path contains
// the text in TARVELO_TOOL_TEST_CRASH_MARKER raises SIGSEGV; one whose path contains
// TARVELO_TOOL_TEST_HANG_MARKER sleeps until it is killed.
void InjectTestFault(const std::string& source);
#else
inline void InjectTestFault(const std::string& /*source*/) {}
#endif

}  // namespace tarvelo::cli
