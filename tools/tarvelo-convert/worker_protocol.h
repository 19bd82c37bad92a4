#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "TarveloConvert.h"

namespace tarvelo::cli {

// What the tool and a worker process say to each other. Both ends are the same
// binary on the same machine, so fields go in native byte order.
//   run request (tool -> worker, on the worker's request channel):
//     u32 body length, u32 file count, then per file:
//     u32 layout, u32 source length, u32 destination length, u64 pixel cap,
//     source, destination
//   reply (one per file, on the worker's reply board, reply_board.h):
//     u32 status, u32 detail length, detail
//   run done (worker -> tool; POSIX: on the socket, Windows: an event):
//     u32 replies posted

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

// The most files one request carries: the reply board holds this many replies.
inline constexpr std::size_t kMaxRunFiles = 16;
// Far beyond any path the system accepts (the library refuses over-long paths
// itself); only here to keep a corrupted length from allocating wildly.
inline constexpr uint32_t kMaxPathBytes = 1U << 20;
inline constexpr uint32_t kMaxDetailBytes = 4096;
inline constexpr std::size_t kReplyHeaderBytes = 2 * sizeof(uint32_t);
inline constexpr std::size_t kMaxReplyFrameBytes = kReplyHeaderBytes + kMaxDetailBytes;

// Blocking; false when the peer is gone, the channel fails or the run is empty or
// longer than kMaxRunFiles.
bool SendRun(int fd, const std::vector<ConversionRequest>& run);
// Blocking; false on end of file (the tool is done with the worker), an error or a
// malformed request.
bool ReceiveRun(int fd, std::vector<ConversionRequest>* run);

// Appends one reply frame; the detail is cut to kMaxDetailBytes.
void AppendReplyFrame(std::string* out, const ConversionReply& reply);

enum class FrameParse { kIncomplete, kComplete, kMalformed };
// Parses the reply frame at the start of `bytes`, of which `size` are there;
// `*used` gets its length. Treats the bytes as untrusted.
FrameParse ParseReplyFrame(const char* bytes, std::size_t size, ConversionReply* reply, std::size_t* used);

// The run-done frame on POSIX systems.
bool SendRunDone(int fd, uint32_t replies);
inline constexpr std::size_t kRunDoneBytes = sizeof(uint32_t);
uint32_t ParseRunDone(const char* bytes);

}  // namespace tarvelo::cli
