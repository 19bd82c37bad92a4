#pragma once

#include <string>

namespace tarvelo::cli {

#if defined(TARVELO_TOOL_TEST_HOOKS)
// Only the tests' copy of the tool (tarvelo-convert-hooked, tests/cli) is built with
// TARVELO_TOOL_TEST_HOOKS: it lets the tests stand in for a decoder that crashes or
// hangs. A worker handed a source whose path contains the text in
// TARVELO_TOOL_TEST_CRASH_MARKER raises SIGSEGV; one whose path contains
// TARVELO_TOOL_TEST_HANG_MARKER sleeps until it is killed; one whose path contains
// TARVELO_TOOL_TEST_SLOW_MARKER sleeps two seconds, then converts the file; one whose
// path contains TARVELO_TOOL_TEST_LIE_MARKER reports the file converted without
// writing anything (true: skip the conversion). The installed tool has no hooks and
// reads none of these variables. POSIX also has TARVELO_TOOL_TEST_CLOSE_MARKER: the
// worker closes its channel to the tool and waits to be killed; and
// TARVELO_TOOL_TEST_ORPHAN_MARKER: the worker exits with status 3 while a child of
// its own holds the channel open for a few seconds more.
bool InjectTestFault(const std::string& source);
#else
inline bool InjectTestFault(const std::string& /*source*/) { return false; }
#endif

}  // namespace tarvelo::cli
