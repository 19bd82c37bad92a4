#include "worker_messages.h"

#include <charconv>
#include <cstdint>
#include <vector>

namespace tarvelo::cli {
namespace {

// The longest reply: a worker that never ends its message cannot make the tool
// hold more and more of it.
constexpr std::size_t kMaxReplyBytes = kMaxDetailBytes + 32;

// The first `count` NUL-ended fields of `bytes`, taken off its front; nothing when
// they are not all there yet.
std::optional<std::vector<std::string>> TakeFields(std::string* bytes, std::size_t count) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (fields.size() < count) {
    const std::size_t end = bytes->find('\0', start);
    if (end == std::string::npos) {
      return std::nullopt;
    }
    fields.emplace_back(*bytes, start, end - start);
    start = end + 1;
  }
  bytes->erase(0, start);
  return fields;
}

// A decimal number up to `max`, digits only (no sign).
template <typename Number>
std::optional<Number> NumberOf(const std::string& text, Number max) {
  Number value = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || at != end || value > max) {
    return std::nullopt;
  }
  return value;
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
  const std::optional<std::vector<std::string>> fields = TakeFields(bytes, 4);
  if (!fields) {
    return Taken::kIncomplete;
  }
  if (*fields == std::vector<std::string>(4)) {
    return Taken::kStop;
  }
  const std::optional<unsigned> layout = NumberOf((*fields)[0], 255U);
  const std::optional<uint64_t> max_pixels = NumberOf((*fields)[1], UINT64_MAX);
  if (!layout || !max_pixels) {
    return Taken::kMalformed;
  }
  *job = {(*fields)[2], (*fields)[3], static_cast<TarveloLayout>(*layout), *max_pixels};
  return Taken::kTaken;
}

Taken TakeReply(std::string* bytes, Reply* reply) {
  const std::optional<std::vector<std::string>> fields = TakeFields(bytes, 2);
  if (!fields) {
    return bytes->size() > kMaxReplyBytes ? Taken::kMalformed : Taken::kIncomplete;
  }
  // Statuses are small numbers; one the library does not name still reads as a
  // failure with the library's word for an unknown status.
  if ((*fields)[0].empty() && (*fields)[1].empty()) {
    *reply = {true, TARVELO_STATUS_CONVERTED, ""};
    return Taken::kTaken;
  }
  const std::optional<unsigned> status = NumberOf((*fields)[0], 255U);
  if (!status || (*fields)[1].size() > kMaxDetailBytes) {
    return Taken::kMalformed;
  }
  *reply = {false, static_cast<TarveloStatus>(*status), (*fields)[1]};
  return Taken::kTaken;
}

}  // namespace tarvelo::cli
