#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "TarveloConvert.h"
#include "conversion_job.h"

namespace tarvelo::cli {

// Reads all of standard input, the bytes of SOURCE '-'. Nothing (and `reason`) on
// a read error.
std::optional<std::string> ReadStandardInput(std::string* reason);

// Runs the library on one job: a file or the bytes read from standard input
// (`source_bytes`, when SOURCE is '-') into a file or onto standard output (DEST
// '-'). The library decodes before it writes anything, so standard output receives
// nothing from a source that does not decode. The tool lets the library use its
// helper threads. `before_change`, for a file destination: TarveloOptions'.
TarveloStatus ConvertJob(const ConversionJob& job, const std::string* source_bytes, char* detail,
                         std::size_t detail_size, void (*before_change)(void*) = nullptr);

}  // namespace tarvelo::cli
