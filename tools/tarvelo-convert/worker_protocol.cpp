#include "worker_protocol.h"

#include <algorithm>
#include <cstring>

#include "fd_io.h"

namespace tarvelo::cli {
namespace {

constexpr std::size_t kFileHeaderBytes = 3 * sizeof(uint32_t) + sizeof(uint64_t);
constexpr std::size_t kMaxRunBodyBytes = kMaxRunFiles * (kFileHeaderBytes + 2 * std::size_t{kMaxPathBytes});

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

bool SendRun(int fd, const std::vector<ConversionRequest>& run) {
  if (run.empty() || run.size() > kMaxRunFiles) {
    return false;
  }
  std::string frame(2 * sizeof(uint32_t), '\0');
  for (const ConversionRequest& request : run) {
    if (request.source.size() > kMaxPathBytes || request.destination.size() > kMaxPathBytes) {
      return false;
    }
    AppendU32(&frame, static_cast<uint32_t>(request.layout));
    AppendU32(&frame, static_cast<uint32_t>(request.source.size()));
    AppendU32(&frame, static_cast<uint32_t>(request.destination.size()));
    frame.append(reinterpret_cast<const char*>(&request.max_pixels), sizeof request.max_pixels);
    frame += request.source;
    frame += request.destination;
  }
  const auto body = static_cast<uint32_t>(frame.size() - 2 * sizeof(uint32_t));
  const auto count = static_cast<uint32_t>(run.size());
  std::memcpy(frame.data(), &body, sizeof body);
  std::memcpy(frame.data() + sizeof body, &count, sizeof count);
  return WriteFully(fd, frame.data(), frame.size());
}

// The header and then the whole run in one read each: a small file's conversion
// costs only a few system calls, so each one counts.
bool ReceiveRun(int fd, std::vector<ConversionRequest>* run) {
  char header[2 * sizeof(uint32_t)];
  if (!ReadFully(fd, header, sizeof header)) {
    return false;
  }
  const uint32_t body_size = U32At(header);
  const uint32_t count = U32At(header + sizeof(uint32_t));
  if (count == 0 || count > kMaxRunFiles || body_size > kMaxRunBodyBytes) {
    return false;
  }
  std::string body(body_size, '\0');
  if (!ReadFully(fd, body.data(), body.size())) {
    return false;
  }
  run->resize(count);
  std::size_t at = 0;
  for (ConversionRequest& request : *run) {
    if (body.size() - at < kFileHeaderBytes) {
      return false;
    }
    const char* file = body.data() + at;
    const uint32_t source_size = U32At(file + sizeof(uint32_t));
    const uint32_t destination_size = U32At(file + 2 * sizeof(uint32_t));
    at += kFileHeaderBytes;
    if (body.size() - at < std::size_t{source_size} + destination_size) {
      return false;
    }
    request.layout = static_cast<TarveloLayout>(U32At(file));
    std::memcpy(&request.max_pixels, file + 3 * sizeof(uint32_t), sizeof request.max_pixels);
    request.source.assign(body, at, source_size);
    request.destination.assign(body, at + source_size, destination_size);
    at += std::size_t{source_size} + destination_size;
  }
  return at == body.size();
}

void AppendReplyFrame(std::string* out, const ConversionReply& reply) {
  const std::size_t detail_size = std::min<std::size_t>(reply.detail.size(), kMaxDetailBytes);
  AppendU32(out, static_cast<uint32_t>(reply.status));
  AppendU32(out, static_cast<uint32_t>(detail_size));
  out->append(reply.detail, 0, detail_size);
}

FrameParse ParseReplyFrame(const char* bytes, std::size_t size, ConversionReply* reply, std::size_t* used) {
  if (size < kReplyHeaderBytes) {
    return FrameParse::kIncomplete;
  }
  const uint32_t detail_size = U32At(bytes + sizeof(uint32_t));
  if (detail_size > kMaxDetailBytes) {
    return FrameParse::kMalformed;
  }
  if (size - kReplyHeaderBytes < detail_size) {
    return FrameParse::kIncomplete;
  }
  reply->status = static_cast<TarveloStatus>(U32At(bytes));
  reply->detail.assign(bytes + kReplyHeaderBytes, detail_size);
  *used = kReplyHeaderBytes + detail_size;
  return FrameParse::kComplete;
}

bool SendRunDone(int fd, uint32_t replies) { return WriteFully(fd, &replies, sizeof replies); }

uint32_t ParseRunDone(const char* bytes) { return U32At(bytes); }

}  // namespace tarvelo::cli
