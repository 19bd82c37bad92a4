#include "test_fault_hooks.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

namespace tarvelo::cli {
namespace {

bool PathHasMarker(const std::string& source, const char* variable) {
  const char* marker = std::getenv(variable);
  return marker != nullptr && *marker != '\0' && source.find(marker) != std::string::npos;
}

}  // namespace

bool InjectTestFault(const std::string& source) {
  if (PathHasMarker(source, "TARVELO_TOOL_TEST_CRASH_MARKER")) {
    const rlimit no_core{0, 0};  // a deliberate crash leaves no core file behind
    setrlimit(RLIMIT_CORE, &no_core);
    (void)std::raise(SIGSEGV);
  }
  if (PathHasMarker(source, "TARVELO_TOOL_TEST_SLOW_MARKER")) {
    // Whole seconds, restarted after the signals the test sends to the tool.
    for (unsigned left = 2; left > 0;) {
      left = sleep(left);
    }
  }
  if (PathHasMarker(source, "TARVELO_TOOL_TEST_CLOSE_MARKER")) {
    // A worker that closes its channel to the tool and lingers, alive.
    for (int descriptor = 3; descriptor < 1024; ++descriptor) {
      close(descriptor);
    }
    for (;;) {
      pause();
    }
  }
  if (PathHasMarker(source, "TARVELO_TOOL_TEST_ORPHAN_MARKER")) {
    // A worker that exits with status 3 while a child of its own, which outlives it
    // by seconds, holds the channel to the tool open (and nothing else of the tool's).
    if (fork() == 0) {
      const int nowhere = open("/dev/null", O_RDWR | O_CLOEXEC);
      for (int descriptor = 0; descriptor < 3; ++descriptor) {
        dup2(nowhere, descriptor);
      }
      for (unsigned left = 4; left > 0;) {
        left = sleep(left);
      }
    }
    _exit(3);
  }
  if (PathHasMarker(source, "TARVELO_TOOL_TEST_HANG_MARKER")) {
    for (;;) {
      pause();
    }
  }
  return PathHasMarker(source, "TARVELO_TOOL_TEST_LIE_MARKER");
}

}  // namespace tarvelo::cli
