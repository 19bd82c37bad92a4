#include "reply_board.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace tarvelo::cli {

void ClearBoard(ReplyBoard* board, int64_t now_ns) {
  board->stop_after_current.store(0, std::memory_order_relaxed);
  board->replies.store(0, std::memory_order_relaxed);
  board->bytes.store(0, std::memory_order_relaxed);
  board->file_started_ns.store(now_ns, std::memory_order_release);
}

void MarkFileStarted(ReplyBoard* board, int64_t now_ns) {
  board->file_started_ns.store(now_ns, std::memory_order_release);
}

bool PostReply(ReplyBoard* board, const ConversionReply& reply) {
  std::string frame;
  AppendReplyFrame(&frame, reply);
  const uint32_t used = board->bytes.load(std::memory_order_relaxed);
  if (used > sizeof board->frames || frame.size() > sizeof board->frames - used) {
    return false;
  }
  std::memcpy(board->frames + used, frame.data(), frame.size());
  board->bytes.store(used + static_cast<uint32_t>(frame.size()), std::memory_order_release);
  board->replies.fetch_add(1, std::memory_order_release);
  return true;
}

std::vector<ConversionReply> ReadBoardReplies(const ReplyBoard& board, std::size_t run_length,
                                              bool* malformed) {
  *malformed = false;
  const std::size_t posted = std::min<std::size_t>(board.replies.load(std::memory_order_acquire), run_length);
  const std::size_t bytes =
      std::min<std::size_t>(board.bytes.load(std::memory_order_acquire), sizeof board.frames);
  std::vector<ConversionReply> replies;
  std::size_t at = 0;
  while (replies.size() < posted) {
    ConversionReply reply;
    std::size_t used = 0;
    if (ParseReplyFrame(board.frames + at, bytes - at, &reply, &used) != FrameParse::kComplete) {
      *malformed = true;
      break;
    }
    at += used;
    replies.push_back(std::move(reply));
  }
  return replies;
}

bool ReadFinishedRun(const ReplyBoard& board, std::size_t run_length, uint32_t posted,
                     std::vector<ConversionReply>* replies) {
  bool unreadable = false;
  *replies = ReadBoardReplies(board, run_length, &unreadable);
  const bool stopped = board.stop_after_current.load(std::memory_order_relaxed) != 0;
  return !unreadable && posted == replies->size() && (posted == run_length || stopped);
}

std::chrono::steady_clock::time_point FileStartedOn(const ReplyBoard& board,
                                                    std::chrono::steady_clock::time_point sent) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point started{std::chrono::duration_cast<Clock::duration>(
      std::chrono::nanoseconds(board.file_started_ns.load(std::memory_order_acquire)))};
  return std::clamp(started, sent, std::max(sent, Clock::now()));
}

int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace tarvelo::cli
