#pragma once

#include <cstdint>
#include <string>

#include "TarveloConvert.h"

namespace tarvelo::cli {

// What the tool and a worker process say to each other over their socket. Both
// ends are the same binary on the same machine, so fields go in native byte order.
//   request: u32 layout, u32 source length, u32 destination length, u64 pixel cap,
//            source, destination
//   reply:   u32 status, u32 detail length, detail

struct ConversionRequest {
  TarveloLayout layout = TARVELO_LAYOUT_TGA;
  std::string source;
  std::string destination;
  uint64_t max_pixels = 0;
};

struct ConversionReply {
  TarveloStatus status = TARVELO_STATUS_CONVERTED;
  std::string detail;
};

// Blocking; false when the peer is gone or the socket fails.
bool SendRequest(int fd, const ConversionRequest& request);
// Blocking; false on end of file (the tool is done with the worker), an error or a
// malformed request.
bool ReceiveRequest(int fd, ConversionRequest* request);

bool SendReply(int fd, const ConversionReply& reply);

// The tool collects replies from many workers at once, so it parses whatever bytes
// have arrived so far.
enum class ReplyParse { kIncomplete, kComplete, kMalformed };
ReplyParse ParseReply(const std::string& received, ConversionReply* reply);

}  // namespace tarvelo::cli
