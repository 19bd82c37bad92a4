#include "tool_version.h"

#include "TarveloVersion.h"

namespace tarvelo::cli {

const char* ToolVersion() { return TarveloGetVersionText(); }

}  // namespace tarvelo::cli
