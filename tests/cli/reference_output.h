#pragma once

#include <string>

#include "TarveloConvert.h"
#include "file_bytes.h"

namespace tarvelo::test {

// The bytes the library itself writes for `source` in `layout` (converted in
// process into a scratch directory), to hold the tool's files against.
Bytes LibraryOutput(const std::string& source, TarveloLayout layout);

}  // namespace tarvelo::test
