// POSIX: each slot's worker is a fork of the tool connected by a socket pair; it is
// started once and then converts run after run of files (worker_process.h), so a
// file costs a share of one small request and one wake-up, not a process start.
// The reply board is an anonymous shared mapping made before the fork. The tool
// waits on all busy workers with poll().
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "fd_io.h"
#include "interrupt.h"
#include "worker_process.h"
#include "worker_slots.h"

namespace tarvelo::cli {
namespace {

struct Slot {
  pid_t pid = -1;  // -1: the slot has no process
  int channel = -1;
  ReplyBoard* board = nullptr;
  std::size_t run_length = 0;  // 0: no run is being converted
  std::string received;        // run-done bytes read so far
};

WorkerSlots::WorkerEnd EndOf(int wait_status) {
  if (WIFSIGNALED(wait_status)) {
    return {true, "signal " + std::to_string(WTERMSIG(wait_status))};
  }
  if (WIFEXITED(wait_status)) {
    return {false, "exit status " + std::to_string(WEXITSTATUS(wait_status))};
  }
  return {false, "wait status " + std::to_string(wait_status)};
}

void WaitForExit(pid_t pid, int* wait_status) {
  while (waitpid(pid, wait_status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

struct WorkerSlots::Platform {
  std::vector<Slot> slots;

  // Closes the channel, kills the process when asked, reaps it and empties the
  // slot. Returns how the worker ended; `replies` gets the replies it had posted
  // for its run. `lost`: the worker closed its channel unasked; one that is exiting
  // does so before it can be reaped, so it gets a moment to end by itself and its
  // own end is reported, not the kill that follows.
  WorkerEnd Stop(Slot* slot, bool kill_first, std::vector<ConversionReply>* replies = nullptr,
                 bool lost = false) {
    close(slot->channel);
    int wait_status = 0;
    bool reaped = false;
    for (int tries = 0; lost && tries < 20 && !reaped; ++tries) {
      reaped = waitpid(slot->pid, &wait_status, WNOHANG) == slot->pid;
      if (!reaped) {
        usleep(5000);
      }
    }
    const bool killed = kill_first && !reaped;
    if (killed) {
      kill(slot->pid, SIGKILL);
    }
    if (!reaped) {
      WaitForExit(slot->pid, &wait_status);
    }
    if (replies != nullptr && slot->run_length > 0) {
      bool malformed = false;
      *replies = ReadBoardReplies(*slot->board, slot->run_length, &malformed);
    }
    munmap(slot->board, sizeof(ReplyBoard));
    *slot = Slot{};
    if (lost && killed) {
      return {false, "it closed its channel"};
    }
    return EndOf(wait_status);
  }

  // False with the reason when no worker could be started.
  bool Start(Slot* slot, std::string* reason) {
    void* board =
        mmap(nullptr, sizeof(ReplyBoard), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (board == MAP_FAILED) {
      *reason = std::strerror(errno);
      return false;
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
      *reason = std::strerror(errno);
      munmap(board, sizeof(ReplyBoard));
      return false;
    }
    for (const int end : ends) {
      fcntl(end, F_SETFD, FD_CLOEXEC);
    }
    // Buffered output would otherwise be written once more by the child.
    (void)std::fflush(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
      *reason = std::strerror(errno);
      close(ends[0]);
      close(ends[1]);
      munmap(board, sizeof(ReplyBoard));
      return false;
    }
    if (pid == 0) {
      // Keep only this worker's own end: a sibling's channel held open here would
      // hide that sibling's death from the tool.
      close(ends[0]);
      for (const Slot& other : slots) {
        if (other.channel >= 0) {
          close(other.channel);
        }
      }
#if defined(__linux__)
      // A worker stuck in the decoder must not outlive a tool that was killed.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) {
        _exit(0);
      }
#else
      (void)parent;
#endif
      const int channel = ends[1];
      RunWorker({channel, static_cast<ReplyBoard*>(board),
                 [channel](uint32_t replies) { return SendRunDone(channel, replies); }});
    }
    close(ends[1]);
    *slot = Slot{};
    slot->pid = pid;
    slot->channel = ends[0];
    slot->board = static_cast<ReplyBoard*>(board);
    return true;
  }
};

WorkerSlots::WorkerSlots(std::size_t count) : platform_(std::make_unique<Platform>()) {
  platform_->slots.resize(std::max<std::size_t>(count, 1));
  // A write to a worker that just died must fail with EPIPE, not end the tool.
  (void)std::signal(SIGPIPE, SIG_IGN);
  // Inherited SIGCHLD=SIG_IGN would make the kernel reap workers itself and leave
  // the tool without their exit status.
  (void)std::signal(SIGCHLD, SIG_DFL);
}

WorkerSlots::~WorkerSlots() {
  // Close every channel first so that idle workers all see end of file and exit
  // together; a busy one is killed.
  for (Slot& slot : platform_->slots) {
    if (slot.pid < 0) {
      continue;
    }
    close(slot.channel);
    slot.channel = -1;
    if (slot.run_length > 0) {
      kill(slot.pid, SIGKILL);
    }
  }
  for (const Slot& slot : platform_->slots) {
    if (slot.pid >= 0) {
      int ignored = 0;
      WaitForExit(slot.pid, &ignored);
      munmap(slot.board, sizeof(ReplyBoard));
    }
  }
}

std::size_t WorkerSlots::size() const { return platform_->slots.size(); }

WorkerSlots::SendResult WorkerSlots::Send(std::size_t index, const std::vector<ConversionRequest>& run) {
  Slot& slot = platform_->slots[index];
  SendResult result;
  if (slot.pid < 0 && !platform_->Start(&slot, &result.reason)) {
    result.kind = SendResult::Kind::kCannotStart;
    return result;
  }
  ClearBoard(slot.board);
  if (!SendRun(slot.channel, run)) {
    // The worker died while idle (killed from outside): the run never reached it.
    result.kind = SendResult::Kind::kLost;
    result.end = platform_->Stop(&slot, true);
    return result;
  }
  slot.run_length = run.size();
  slot.received.clear();
  return result;
}

std::vector<std::size_t> WorkerSlots::WaitForAny(Clock::time_point until) {
  std::vector<pollfd> watched;
  std::vector<std::size_t> busy;
  for (std::size_t i = 0; i < platform_->slots.size(); ++i) {
    if (platform_->slots[i].run_length > 0) {
      watched.push_back({platform_->slots[i].channel, POLLIN, 0});
      busy.push_back(i);
    }
  }
  if (InterruptWakeFd() >= 0) {
    watched.push_back({InterruptWakeFd(), POLLIN, 0});
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
  const int timeout_ms = static_cast<int>(std::clamp<decltype(wait)>(wait, 0, INT_MAX));
  const int ready = poll(watched.data(), watched.size(), timeout_ms);
  std::vector<std::size_t> to_collect;
  if (ready < 0) {
    if (errno != EINTR) {
      // poll() itself failed (out of memory): wait a little instead of spinning.
      usleep(10000);
    }
    return to_collect;
  }
  for (std::size_t i = 0; i < busy.size(); ++i) {
    if (watched[i].revents != 0) {
      to_collect.push_back(busy[i]);
    }
  }
  if (watched.size() > busy.size() && watched.back().revents != 0) {
    DrainInterruptWakeFd();
  }
  return to_collect;
}

WorkerSlots::Collected WorkerSlots::Collect(std::size_t index) {
  Slot& slot = platform_->slots[index];
  Collected collected;
  char buffer[64];
  const long got = ReadSome(slot.channel, buffer, sizeof buffer);
  if (got <= 0) {
    // End of file or a reset: the worker is gone (or going) mid-run. Kill it in
    // case it merely closed the socket, so that reaping cannot hang.
    collected.kind = Collected::Kind::kLost;
    collected.end = platform_->Stop(&slot, true, &collected.replies, true);
    return collected;
  }
  slot.received.append(buffer, static_cast<std::size_t>(got));
  if (slot.received.size() < kRunDoneBytes) {
    return collected;
  }
  // One run, one run-done frame, saying what the board shows.
  if (slot.received.size() != kRunDoneBytes ||
      !ReadFinishedRun(*slot.board, slot.run_length, ParseRunDone(slot.received.data()),
                       &collected.replies)) {
    collected.kind = Collected::Kind::kMalformed;
    platform_->Stop(&slot, true);
    return collected;
  }
  collected.kind = Collected::Kind::kRunDone;
  slot.run_length = 0;
  slot.received.clear();
  return collected;
}

std::size_t WorkerSlots::RepliesPosted(std::size_t index) const {
  const Slot& slot = platform_->slots[index];
  return cli::RepliesPosted(*slot.board, slot.run_length);
}

void WorkerSlots::StopAfterCurrentFile(std::size_t index) {
  platform_->slots[index].board->stop_after_current.store(1, std::memory_order_release);
}

std::vector<ConversionReply> WorkerSlots::Kill(std::size_t index) {
  Slot& slot = platform_->slots[index];
  std::vector<ConversionReply> replies;
  if (slot.pid >= 0) {
    platform_->Stop(&slot, true, &replies);
  }
  return replies;
}

}  // namespace tarvelo::cli
