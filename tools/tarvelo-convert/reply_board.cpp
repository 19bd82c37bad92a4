#include "reply_board.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace tarvelo::cli {

void ClearBoard(ReplyBoard* board) {
  board->stop_after_current.store(0, std::memory_order_relaxed);
  board->replies.store(0, std::memory_order_relaxed);
  board->bytes.store(0, std::memory_order_relaxed);
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

std::size_t RepliesPosted(const ReplyBoard& board, std::size_t run_length) {
  return std::min<std::size_t>(board.replies.load(std::memory_order_acquire), run_length);
}

}  // namespace tarvelo::cli
