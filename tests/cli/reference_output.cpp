#include "reference_output.h"

#include <stdexcept>

#include "temp_dir.h"

namespace tarvelo::test {

Bytes LibraryOutput(const std::string& source, TarveloLayout layout) {
  const TempDir scratch;
  const std::string destination = scratch.File("reference");
  char detail[256];
  const TarveloStatus status =
      TarveloConvert(source.c_str(), destination.c_str(), layout, detail, sizeof detail);
  if (status != TARVELO_STATUS_CONVERTED) {
    throw std::runtime_error("library cannot convert " + source + ": " + TarveloStatusMessage(status));
  }
  return ReadFileBytes(destination);
}

}  // namespace tarvelo::test
