#include "worker_messages.h"

#include <charconv>
#include <vector>

namespace tarvelo::cli {
namespace {

// The longest reply: a worker that never ends its message cannot make the tool
// hold more and more of it.
constexpr std::size_t kMaxReplyBytes = kMaxDetailBytes + 32;

// The first `count` NUL-ended fields of `bytes`, taken off its front; none when
// they are not all there yet.
std::vector<std::string> TakeFields(std::string* bytes, std::size_t count) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t end = 0; fields.size() < count; start = end + 1) {
    if ((end = bytes->find('\0', start)) == std::string::npos) {
      return {};
    }
    fields.emplace_back(*bytes, start, end - start);
  }
  bytes->erase(0, start);
  return fields;
}

// A decimal number up to `max`, digits only (no sign).
bool NumberOf(const std::string& text, uint64_t max, uint64_t* value) {
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, *value);
  return error == std::errc() && at == end && *value <= max;
}

}  // namespace

std::string RequestMessage(const ConversionJob& job) {
  return std::to_string(static_cast<int>(job.layout)) + '\0' + std::to_string(job.max_pixels) + '\0' +
         job.source + '\0' + job.destination + '\0';
}

std::string ReplyMessage(TarveloStatus status, const std::string& detail) {
  return std::to_string(static_cast<int>(status)) + '\0' + detail.substr(0, kMaxDetailBytes) + '\0';
}

Taken TakeRequest(std::string* bytes, ConversionJob* job) {
  const std::vector<std::string> fields = TakeFields(bytes, 4);
  uint64_t layout = 0;
  if (fields.empty()) {
    return Taken::kIncomplete;
  }
  if (fields == std::vector<std::string>(4)) {
    return Taken::kStop;
  }
  if (!NumberOf(fields[0], 255, &layout) || !NumberOf(fields[1], UINT64_MAX, &job->max_pixels)) {
    return Taken::kMalformed;
  }
  job->layout = static_cast<TarveloLayout>(layout);
  job->source = fields[2];
  job->destination = fields[3];
  return Taken::kTaken;
}

Taken TakeReply(std::string* bytes, Reply* reply) {
  const std::vector<std::string> fields = TakeFields(bytes, 2);
  uint64_t status = 0;
  if (fields.empty()) {
    return bytes->size() > kMaxReplyBytes ? Taken::kMalformed : Taken::kIncomplete;
  }
  // Statuses are small numbers; one the library does not name still reads as a
  // failure with the library's word for an unknown status.
  reply->skipped = fields[0].empty() && fields[1].empty();
  if (!reply->skipped && (!NumberOf(fields[0], 255, &status) || fields[1].size() > kMaxDetailBytes)) {
    return Taken::kMalformed;
  }
  reply->status = static_cast<TarveloStatus>(status);
  reply->detail = fields[1];
  return Taken::kTaken;
}

}  // namespace tarvelo::cli
