// The frames between the tool and its workers, and the reply board, read as the
// untrusted input they are: a worker may be confused or may have crashed halfway
// through writing.
#include "worker_protocol.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fd_io.h"
#include "reply_board.h"

namespace tarvelo::cli {
namespace {

class Channel : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends_), 0); }
  void TearDown() override {
    close(ends_[0]);
    close(ends_[1]);
  }
  // Writes `bytes`, closes the sending end and tries to read a run from them.
  bool Receives(const std::string& bytes, std::vector<ConversionRequest>* run) {
    EXPECT_TRUE(WriteFully(ends_[0], bytes.data(), bytes.size()));
    shutdown(ends_[0], SHUT_WR);
    return ReceiveRun(ends_[1], run);
  }
  int ends_[2] = {-1, -1};
};

std::string U32(uint32_t value) { return {reinterpret_cast<const char*>(&value), sizeof value}; }

std::string FileFrame(uint32_t source_size, uint32_t destination_size, const std::string& paths) {
  const uint64_t cap = 7;
  return U32(TARVELO_LAYOUT_BMP) + U32(source_size) + U32(destination_size) +
         std::string(reinterpret_cast<const char*>(&cap), sizeof cap) + paths;
}

TEST_F(Channel, ARunArrivesWholeAndInOrder) {
  std::vector<ConversionRequest> sent;
  for (std::size_t i = 0; i < kMaxRunFiles; ++i) {
    sent.push_back({i % 2 == 0 ? TARVELO_LAYOUT_TGA : TARVELO_LAYOUT_BMP, "source " + std::to_string(i),
                    std::string(i * 1000, 'd'), i});
  }
  sent[3].source.clear();  // an empty name travels as one
  std::thread sender([&] { EXPECT_TRUE(SendRun(ends_[0], sent)); });
  std::vector<ConversionRequest> received;
  ASSERT_TRUE(ReceiveRun(ends_[1], &received));
  sender.join();
  ASSERT_EQ(received.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(received[i].layout, sent[i].layout);
    EXPECT_EQ(received[i].source, sent[i].source);
    EXPECT_EQ(received[i].destination, sent[i].destination);
    EXPECT_EQ(received[i].max_pixels, sent[i].max_pixels);
  }
  EXPECT_FALSE(SendRun(ends_[0], {}));
  EXPECT_FALSE(SendRun(ends_[0], std::vector<ConversionRequest>(kMaxRunFiles + 1)));
}

TEST_F(Channel, MalformedRunsAreRefused) {
  const std::string one = FileFrame(2, 1, "abc");
  const auto body = static_cast<uint32_t>(one.size());
  const std::vector<std::string> malformed = {
      U32(body) + U32(0) + one,                                         // no file
      U32(body) + U32(kMaxRunFiles + 1) + one,                          // too many files
      U32(body) + U32(2) + one,                                         // fewer files than said
      U32(body + 1) + U32(1) + one + "x",                               // bytes left over
      U32(body) + U32(1) + FileFrame(2, 5, "abc"),                      // a name past the body
      U32(body) + U32(1) + FileFrame(0xFFFFFFFFU, 0xFFFFFFFFU, "abc"),  // lengths that wrap
      U32(body + 10) + U32(1) + one,                                    // the stream ends early
      U32(0xFFFFFFFFU) + U32(1) + one,                                  // a body too large to be a run
  };
  for (std::size_t i = 0; i < malformed.size(); ++i) {
    SCOPED_TRACE(i);
    TearDown();
    SetUp();
    std::vector<ConversionRequest> run;
    EXPECT_FALSE(Receives(malformed[i], &run));
  }
  TearDown();
  SetUp();
  std::vector<ConversionRequest> run;
  ASSERT_TRUE(Receives(U32(body) + U32(1) + one, &run));
  EXPECT_EQ(run.at(0).source, "ab");
  EXPECT_EQ(run.at(0).destination, "c");
}

struct Board : testing::Test {
  Board() : board(std::make_unique<ReplyBoard>()) { ClearBoard(board.get()); }
  std::unique_ptr<ReplyBoard> board;
};

TEST_F(Board, RepliesAreReadInOrderAndAFinishedRunIsChecked) {
  ASSERT_TRUE(PostReply(board.get(), {TARVELO_STATUS_CONVERTED, ""}));
  ASSERT_TRUE(
      PostReply(board.get(), {TARVELO_STATUS_SOURCE_UNREADABLE, std::string(kMaxDetailBytes + 50, 'x')}));
  bool malformed = true;
  std::vector<ConversionReply> replies = ReadBoardReplies(*board, 3, &malformed);
  EXPECT_FALSE(malformed);
  ASSERT_EQ(replies.size(), 2U);
  EXPECT_EQ(replies[1].status, TARVELO_STATUS_SOURCE_UNREADABLE);
  EXPECT_EQ(replies[1].detail.size(), kMaxDetailBytes);  // cut, not refused

  EXPECT_TRUE(ReadFinishedRun(*board, 2, 2, &replies));
  EXPECT_FALSE(ReadFinishedRun(*board, 2, 1, &replies));  // the word and the board disagree
  EXPECT_FALSE(ReadFinishedRun(*board, 3, 2, &replies));  // a file missing, no stop asked
  board->stop_after_current.store(1);
  EXPECT_TRUE(ReadFinishedRun(*board, 3, 2, &replies));
  EXPECT_EQ(ReadBoardReplies(*board, 1, &malformed).size(), 1U);  // never more than the run

  // A full board takes no more.
  ClearBoard(board.get());
  for (std::size_t i = 0; i < kMaxRunFiles; ++i) {
    ASSERT_TRUE(PostReply(board.get(), {TARVELO_STATUS_CONVERTED, std::string(kMaxDetailBytes, 'y')}));
  }
  EXPECT_FALSE(PostReply(board.get(), {TARVELO_STATUS_CONVERTED, "z"}));
}

// What a crashing worker may leave: counts and lengths pointing past the board.
TEST_F(Board, AScribbledBoardIsReadWithinItsBounds) {
  ASSERT_TRUE(PostReply(board.get(), {TARVELO_STATUS_CONVERTED, "ok"}));
  board->replies.store(0xFFFFFFFFU);
  board->bytes.store(0xFFFFFFFFU);
  std::memset(board->frames + 10, 0xFF, sizeof board->frames - 10);
  bool malformed = false;
  std::vector<ConversionReply> replies = ReadBoardReplies(*board, kMaxRunFiles, &malformed);
  EXPECT_TRUE(malformed);
  ASSERT_EQ(replies.size(), 1U);
  EXPECT_EQ(replies[0].detail, "ok");

  // A last frame whose detail runs one byte past what the board says it holds.
  ClearBoard(board.get());
  for (std::size_t i = 0; i < kMaxRunFiles; ++i) {
    ASSERT_TRUE(PostReply(board.get(), {TARVELO_STATUS_CONVERTED, std::string(kMaxDetailBytes, 'y')}));
  }
  board->bytes.store(board->bytes.load() - 1);
  replies = ReadBoardReplies(*board, kMaxRunFiles, &malformed);
  EXPECT_TRUE(malformed);
  EXPECT_EQ(replies.size(), kMaxRunFiles - 1);
}

// The count of replies restarts the tool's clock for a file: a scribbled count can
// stretch a run's time to one limit per file of the run, never more.
TEST_F(Board, TheReplyCountIsNeverMoreThanTheRun) {
  EXPECT_EQ(RepliesPosted(*board, 3), 0U);
  ASSERT_TRUE(PostReply(board.get(), {TARVELO_STATUS_CONVERTED, ""}));
  EXPECT_EQ(RepliesPosted(*board, 3), 1U);
  board->replies.store(0xFFFFFFFFU);
  EXPECT_EQ(RepliesPosted(*board, 3), 3U);
}

}  // namespace
}  // namespace tarvelo::cli
