#include <windows.h>

#include <cstdlib>

#include "test_fault_hooks.h"

namespace tarvelo::cli {
namespace {

bool PathHasMarker(const std::string& source, const char* variable) {
  const char* marker = std::getenv(variable);
  return marker != nullptr && *marker != '\0' && source.find(marker) != std::string::npos;
}

}  // namespace

// Windows: the crash is an access violation that no handler catches, as a decoder
// fault would be; the hang sleeps until the tool terminates the process, the slow
// file sleeps two seconds before it converts.
bool InjectTestFault(const std::string& source) {
  if (PathHasMarker(source, "TARVELO_TOOL_TEST_CRASH_MARKER")) {
    RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  }
  if (PathHasMarker(source, "TARVELO_TOOL_TEST_SLOW_MARKER")) {
    Sleep(2000);
  }
  if (PathHasMarker(source, "TARVELO_TOOL_TEST_HANG_MARKER")) {
    for (;;) {
      Sleep(INFINITE);
    }
  }
  return PathHasMarker(source, "TARVELO_TOOL_TEST_LIE_MARKER");
}

}  // namespace tarvelo::cli
