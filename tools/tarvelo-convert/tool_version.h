#pragma once

namespace tarvelo::cli {

// The version the tool reports, e.g. "1.0.0.1": the library's own (its version
// record, whose numbers come from the build's project version), so that the tool
// shows the version of the library that actually does the work.
const char* ToolVersion();

}  // namespace tarvelo::cli
