#pragma once

namespace tarvelo::cli {

// The version the tool reports, e.g. "1.0.0.1". The one place that knows where it
// comes from (today the build's project version).
const char* ToolVersion();

}  // namespace tarvelo::cli
