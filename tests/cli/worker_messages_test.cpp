// The messages between the tool and its workers. A reply is read as the untrusted
// input it is: a worker may be confused or may have crashed halfway through writing.
#include "worker_messages.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvelo::cli {
namespace {

using namespace std::string_literals;

// Requests arrive in pieces of any size, several back to back; names keep every
// byte but NUL (spaces, newlines, UTF-8).
TEST(WorkerMessages, RequestsArriveWholeInAnyPieces) {
  const ConversionJob first{"dir/a b\nc.png", "out/\xE5\x90\x8E.bmp", TARVELO_LAYOUT_BMP, UINT64_MAX};
  const ConversionJob second{"", "x.tga", TARVELO_LAYOUT_TGA, 0};
  const std::string stream = RequestMessage(first) + RequestMessage(second);
  std::string received;
  std::vector<ConversionJob> jobs;
  for (const char byte : stream) {
    received += byte;
    ConversionJob job;
    const Taken taken = TakeRequest(&received, &job);
    ASSERT_NE(taken, Taken::kMalformed);
    if (taken == Taken::kTaken) {
      jobs.push_back(job);
    }
  }
  ASSERT_EQ(jobs.size(), 2U);
  EXPECT_TRUE(received.empty());
  for (std::size_t i = 0; i < 2; ++i) {
    const ConversionJob& sent = i == 0 ? first : second;
    EXPECT_EQ(jobs[i].source, sent.source);
    EXPECT_EQ(jobs[i].destination, sent.destination);
    EXPECT_EQ(jobs[i].layout, sent.layout);
    EXPECT_EQ(jobs[i].max_pixels, sent.max_pixels);
  }
  std::string bad = "1\0-5\0a\0b\0"s;
  ConversionJob job;
  EXPECT_EQ(TakeRequest(&bad, &job), Taken::kMalformed);
  // A stop is no request for a file without a name.
  std::string stop = kStopMessage + RequestMessage(second);
  EXPECT_EQ(TakeRequest(&stop, &job), Taken::kStop);
  EXPECT_EQ(TakeRequest(&stop, &job), Taken::kTaken);
}

TEST(WorkerMessages, RepliesAreCheckedAsUntrusted) {
  std::string bytes = ReplyMessage(TARVELO_STATUS_SOURCE_UNREADABLE, "can't fopen") +
                      ReplyMessage(TARVELO_STATUS_CONVERTED, "");
  Reply reply;
  ASSERT_EQ(TakeReply(&bytes, &reply), Taken::kTaken);
  EXPECT_EQ(reply.status, TARVELO_STATUS_SOURCE_UNREADABLE);
  EXPECT_EQ(reply.detail, "can't fopen");
  EXPECT_FALSE(reply.skipped);
  ASSERT_EQ(TakeReply(&bytes, &reply), Taken::kTaken);
  EXPECT_EQ(reply.status, TARVELO_STATUS_CONVERTED);
  EXPECT_EQ(reply.detail, "");
  EXPECT_EQ(TakeReply(&bytes, &reply), Taken::kIncomplete);
  bytes = kSkippedReply;
  ASSERT_EQ(TakeReply(&bytes, &reply), Taken::kTaken);
  EXPECT_TRUE(reply.skipped);

  for (const std::string& status : {""s, "-1"s, "abc"s, "1x"s, "256"s, "99999999999999999999"s, " 1"s}) {
    std::string malformed = status + "\0detail\0"s;
    EXPECT_EQ(TakeReply(&malformed, &reply), Taken::kMalformed) << status;
  }
  // Half a reply waits for the rest; a reply that never ends is refused once it is
  // longer than any reply.
  std::string unended = "1\0"s + std::string(kMaxDetailBytes, 'd');
  EXPECT_EQ(TakeReply(&unended, &reply), Taken::kIncomplete);
  unended += std::string(64, 'd');
  EXPECT_EQ(TakeReply(&unended, &reply), Taken::kMalformed);
  std::string too_long = "1\0"s + std::string(kMaxDetailBytes + 1, 'd') + '\0';
  EXPECT_EQ(TakeReply(&too_long, &reply), Taken::kMalformed);

  // A worker cuts a long detail rather than send what the tool refuses.
  std::string cut = ReplyMessage(TARVELO_STATUS_WRITE_FAILED, std::string(2 * kMaxDetailBytes, 'd'));
  ASSERT_EQ(TakeReply(&cut, &reply), Taken::kTaken);
  EXPECT_EQ(reply.detail.size(), kMaxDetailBytes);
}

}  // namespace
}  // namespace tarvelo::cli
