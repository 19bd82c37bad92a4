#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "worker_protocol.h"

namespace tarvelo::cli {

// Where a worker leaves its answers to a run of files: memory the tool and the
// worker share, one board per worker. A worker writes each file's reply here as
// the file is done and tells the tool only once, when the run is over, so a run of
// small files costs one wake-up of the tool instead of one per file. When a worker
// dies or hangs in the middle of a run, the board still says which files it
// finished and which one it was converting: only that file is lost, and the rest
// of the run goes to a fresh worker.
//
// The tool clears the board before it hands out a run; the worker is idle then.
// A worker that crashes may have scribbled anything over the board, so the tool
// reads it as untrusted input (`ReadBoardReplies`).
struct ReplyBoard {
  // Set by the tool after an interrupt: the worker ends its run after the file it
  // is converting, leaving the rest unconverted.
  std::atomic<uint32_t> stop_after_current;
  // Replies complete in `frames`, and the bytes they take; each is published only
  // after its bytes are written.
  std::atomic<uint32_t> replies;
  std::atomic<uint32_t> bytes;
  // Reply frames (worker_protocol.h) back to back, room for a whole run's.
  char frames[kMaxRunFiles * kMaxReplyFrameBytes];
};

static_assert(std::atomic<uint32_t>::is_always_lock_free,
              "the board is shared between processes, so its atomics may not hide a lock");

// The tool, before it hands out a run.
void ClearBoard(ReplyBoard* board);
// The worker, when a file is done. False when the reply does not fit (a run is
// never longer than the board holds, so only a confused worker gets false).
bool PostReply(ReplyBoard* board, const ConversionReply& reply);

// The tool: the replies the board holds, at most `run_length`, each checked as an
// untrusted reply frame. Stops at the first that does not parse; `*malformed` then
// says so.
std::vector<ConversionReply> ReadBoardReplies(const ReplyBoard& board, std::size_t run_length,
                                              bool* malformed);

// The tool: how many replies the board says are complete, at most `run_length`
// whatever a confused or hostile worker wrote. The tool's clock for a file restarts
// when it sees this grow, so a worker can stretch a run's time at most to one time
// limit per file of the run.
std::size_t RepliesPosted(const ReplyBoard& board, std::size_t run_length);

// The tool, when a worker says its run of `run_length` files is over with `posted`
// replies: the replies, and false when the word and the board disagree or replies
// are missing from a run the tool did not ask to stop.
bool ReadFinishedRun(const ReplyBoard& board, std::size_t run_length, uint32_t posted,
                     std::vector<ConversionReply>* replies);

}  // namespace tarvelo::cli
