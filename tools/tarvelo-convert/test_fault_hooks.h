#pragma once

#include <string>

namespace tarvelo::cli {

#if defined(TARVELO_TOOL_TEST_HOOKS)
// Only the tests' copy of the tool (tarvelo-convert-hooked, tests/cli) is built with
// TARVELO_TOOL_TEST_HOOKS: it lets the tests stand in for a decoder that crashes or
// hangs. A worker handed a source whose path contains the text in
// TARVELO_TOOL_TEST_CRASH_MARKER raises SIGSEGV; one whose path contains
// TARVELO_TOOL_TEST_HANG_MARKER sleeps until it is killed (having first created the
// file TARVELO_TOOL_TEST_HANG_NOTE names, if set, POSIX only); one whose path contains
// TARVELO_TOOL_TEST_SLOW_MARKER sleeps two seconds, then converts the file. The
// installed tool has no hooks and reads none of these variables.
void InjectTestFault(const std::string& source);
#else
inline void InjectTestFault(const std::string& /*source*/) {}
#endif

}  // namespace tarvelo::cli
