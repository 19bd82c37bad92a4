#include "worker_protocol.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "fd_io.h"

namespace tarvelo::cli {
namespace {

// Far beyond any path the system accepts (the library refuses over-long paths
// itself); only here to keep a corrupted length from allocating wildly.
constexpr uint32_t kMaxPathBytes = 1U << 20;
constexpr uint32_t kMaxDetailBytes = 4096;

void AppendU32(std::string* out, uint32_t value) {
  char bytes[sizeof value];
  std::memcpy(bytes, &value, sizeof value);
  out->append(bytes, sizeof value);
}

uint32_t U32At(const char* bytes) {
  uint32_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

}  // namespace

bool SendRequest(int fd, const ConversionRequest& request) {
  if (request.source.size() > kMaxPathBytes || request.destination.size() > kMaxPathBytes) {
    return false;
  }
  std::string frame;
  frame.reserve(20 + request.source.size() + request.destination.size());
  AppendU32(&frame, static_cast<uint32_t>(request.layout));
  AppendU32(&frame, static_cast<uint32_t>(request.source.size()));
  AppendU32(&frame, static_cast<uint32_t>(request.destination.size()));
  frame.append(reinterpret_cast<const char*>(&request.max_pixels), sizeof request.max_pixels);
  frame += request.source;
  frame += request.destination;
  return WriteFully(fd, frame.data(), frame.size());
}

// The header and then both paths in one read each: a small file's whole conversion
// costs only a few dozen system calls, so each one counts.
bool ReceiveRequest(int fd, ConversionRequest* request) {
  char header[3 * sizeof(uint32_t) + sizeof(uint64_t)];
  if (!ReadFully(fd, header, sizeof header)) {
    return false;
  }
  const uint32_t source_size = U32At(header + sizeof(uint32_t));
  const uint32_t destination_size = U32At(header + 2 * sizeof(uint32_t));
  if (source_size > kMaxPathBytes || destination_size > kMaxPathBytes) {
    return false;
  }
  request->layout = static_cast<TarveloLayout>(U32At(header));
  std::memcpy(&request->max_pixels, header + 3 * sizeof(uint32_t), sizeof request->max_pixels);
  std::string& paths = request->destination;  // both, then split
  paths.resize(std::size_t{source_size} + destination_size);
  if (!paths.empty() && !ReadFully(fd, paths.data(), paths.size())) {
    return false;
  }
  request->source.assign(paths, 0, source_size);
  paths.erase(0, source_size);
  return true;
}

bool SendReply(int fd, const ConversionReply& reply) {
  const std::size_t detail_size = std::min<std::size_t>(reply.detail.size(), kMaxDetailBytes);
  std::string frame;
  AppendU32(&frame, static_cast<uint32_t>(reply.status));
  AppendU32(&frame, static_cast<uint32_t>(detail_size));
  frame.append(reply.detail, 0, detail_size);
  return WriteFully(fd, frame.data(), frame.size());
}

ReplyParse ParseReply(const std::string& received, ConversionReply* reply) {
  constexpr std::size_t kHeader = 2 * sizeof(uint32_t);
  if (received.size() < kHeader) {
    return ReplyParse::kIncomplete;
  }
  const uint32_t detail_size = U32At(received.data() + sizeof(uint32_t));
  if (detail_size > kMaxDetailBytes) {
    return ReplyParse::kMalformed;
  }
  if (received.size() < kHeader + detail_size) {
    return ReplyParse::kIncomplete;
  }
  // One request, one reply: anything beyond it means the worker is confused.
  if (received.size() > kHeader + detail_size) {
    return ReplyParse::kMalformed;
  }
  reply->status = static_cast<TarveloStatus>(U32At(received.data()));
  reply->detail.assign(received, kHeader, detail_size);
  return ReplyParse::kComplete;
}

}  // namespace tarvelo::cli
