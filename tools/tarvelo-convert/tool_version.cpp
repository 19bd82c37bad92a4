#include "tool_version.h"

#ifndef TARVELO_TOOL_VERSION
#error "TARVELO_TOOL_VERSION must be defined by the build"
#endif

namespace tarvelo::cli {

const char* ToolVersion() { return TARVELO_TOOL_VERSION; }

}  // namespace tarvelo::cli
