#pragma once

#include <cstdint>
#include <string>

#include "TarveloConvert.h"
#include "conversion.h"

namespace tarvelo::cli {

// What the tool and a worker say to each other on the worker's channel: a request
// for each file, which the worker answers with a reply, in order. Every field is
// text ended by a NUL byte (no name holds one): a request is the layout, the pixel
// cap (decimal), the source and the destination; a reply is the library's status
// (decimal) and its detail text. A stop (four empty fields) asks the worker to
// skip the files it has not started; it replies to each as skipped (an empty
// status and detail).

std::string RequestMessage(const ConversionJob& job);
inline const std::string kStopMessage(4, '\0');
std::string ReplyMessage(TarveloStatus status, const std::string& detail);
inline const std::string kSkippedReply(2, '\0');

struct Reply {
  bool skipped = false;
  TarveloStatus status = TARVELO_STATUS_CONVERTED;
  std::string detail;
};
enum class Taken { kIncomplete, kTaken, kStop, kMalformed };

// Take the first whole message off the front of `bytes`. A reply comes from a
// worker that may be confused or may have crashed halfway through writing, so it
// is read as untrusted: a status the library does not have, or more than a reply
// can hold without its end, is malformed.
Taken TakeRequest(std::string* bytes, ConversionJob* job);
Taken TakeReply(std::string* bytes, Reply* reply);

// The longest detail a worker sends; a longer one is cut.
inline constexpr std::size_t kMaxDetailBytes = 4096;

}  // namespace tarvelo::cli
