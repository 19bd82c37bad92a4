// POSIX systems: a worker is a fork of the tool connected by a socket pair; the tool
// waits on all busy workers, and on its signals' wake-up pipe, with poll().
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sched.h>
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fd_io.h"
#include "platform.h"
#include "worker_process.h"

namespace tarvelo::cli {

std::vector<std::string> ToolArguments(int argc, char** argv) { return {argv, argv + argc}; }

std::size_t CoreCount() {
#if defined(__linux__)
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
    return static_cast<std::size_t>(CPU_COUNT(&allowed));
  }
#endif
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

bool IsTerminal(int fd) { return isatty(fd) == 1; }

bool PathExists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

int OpenForReading(const std::string& path) { return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY); }

void CloseFile(int fd) { (void)close(fd); }

namespace {

int g_output_directory = -1;
constexpr int kHeldFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
constexpr int kMaxLinks = 40;  // as the kernel counts them

// Opens the directory `path` (relative to `start`) one component at a time,
// following a link only where the kernel's link protection would, whatever the
// system's setting, as the library walks a destination: not a link in a sticky
// world-writable directory owned by neither this user nor that directory's owner.
// The root is reached by absolute names ("/tmp"), not through a descriptor of "/",
// as an emulator that maps "/" onto a system root of its own (qemu-user's -L) maps
// only the names that exist there.
int OpenProtected(int start, const std::string& path, int links) {
  const bool absolute = path.starts_with('/');
  const std::size_t first = path.find_first_not_of('/');
  int directory = openat(start, absolute ? "/" : ".", kHeldFlags);
  for (std::size_t at = 0; directory >= 0 && at < path.size();) {
    const std::size_t end = std::min(path.find('/', at), path.size());
    std::string name = path.substr(at, end - at);
    const bool from_root = absolute && at == first;
    at = end + 1;
    if (name.empty() || name == ".") {
      continue;
    }
    if (from_root) {
      name.insert(0, "/");  // openat ignores the descriptor for an absolute name
    }
    int next = openat(directory, name.c_str(), kHeldFlags | O_NOFOLLOW);
    int error = errno;
    struct stat link {};
    struct stat holder {};
    if (next < 0 && fstatat(directory, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(link.st_mode) && fstat(directory, &holder) == 0) {
      const bool shared = (holder.st_mode & S_ISVTX) != 0 && (holder.st_mode & S_IWOTH) != 0;
      std::array<char, PATH_MAX> target{};
      const ssize_t length = readlinkat(directory, name.c_str(), target.data(), target.size());
      if (shared && link.st_uid != geteuid() && link.st_uid != holder.st_uid) {
        error = EACCES;
      } else if (length <= 0 || static_cast<std::size_t>(length) == target.size() || links >= kMaxLinks) {
        error = ELOOP;
      } else {
        next =
            OpenProtected(directory, std::string(target.data(), static_cast<std::size_t>(length)), links + 1);
        error = errno;
      }
    }
    close(directory);
    directory = next;
    errno = error;
  }
  return directory;
}

}  // namespace

std::string HoldOutputDirectory(const std::string& path) {
  g_output_directory = OpenProtected(AT_FDCWD, path, 0);
  if (g_output_directory < 0) {
    return {};
  }
  const std::string via = "/proc/self/fd/" + std::to_string(g_output_directory);
  return access(via.c_str(), X_OK) == 0 ? via + "/" : path + "/";
}

int MakeDirectoriesBelow(const std::string& relative) {
  int directory = g_output_directory;
  int error = 0;
  for (std::size_t start = 0; start < relative.size() && error == 0;) {
    const std::size_t end = std::min(relative.find('/', start), relative.size());
    const std::string name = relative.substr(start, end - start);
    start = end + 1;
    if (mkdirat(directory, name.c_str(), 0777) != 0 && errno != EEXIST) {
      error = errno;
    }
    const int next =
        error != 0 ? -1 : openat(directory, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && error == 0) {
      error = errno == ENOENT ? ENOENT : ENOTDIR;  // a file or a link is in its place
    }
    if (directory != g_output_directory) {
      close(directory);
    }
    directory = next;
  }
  if (directory >= 0 && directory != g_output_directory) {
    close(directory);
  }
  return error;
}

void EndAtBrokenPipe() {
  (void)std::signal(SIGPIPE, SIG_DFL);
  (void)std::raise(SIGPIPE);
  std::_Exit(1);
}

// ---- the guard of a conversion in the tool's own process

namespace {

constexpr std::array kCrashSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// What the handlers write, prepared before the conversion starts: a handler may
// only use async-signal-safe calls.
std::string g_crash_prefix;  // "tarvelo-convert: FILE: decoder crashed ("
std::string g_timeout_line;  // "tarvelo-convert: FILE: timed out after N s\n"

void WriteAll(const char* text, size_t length) noexcept {
  while (length > 0) {
    const ssize_t written = write(STDERR_FILENO, text, length);
    if (written <= 0) {
      return;
    }
    text += written;
    length -= static_cast<size_t>(written);
  }
}

extern "C" void OnCrash(int signal_number) {
  char number[16];
  size_t length = 0;
  // Signal numbers are small and positive; written backwards, then reversed.
  for (auto value = static_cast<unsigned>(signal_number); length == 0 || value > 0; value /= 10) {
    number[length++] = static_cast<char>('0' + value % 10);
  }
  for (size_t i = 0; i < length / 2; ++i) {
    const char swap = number[i];
    number[i] = number[length - 1 - i];
    number[length - 1 - i] = swap;
  }
  WriteAll(g_crash_prefix.data(), g_crash_prefix.size());
  WriteAll("signal ", 7);
  WriteAll(number, length);
  WriteAll(")\n", 2);
  _exit(1);
}

// Who ends the conversion: the limit or its end (EndTimeLimit), decided once.
enum TimeLimit : int { kArmed, kEnded, kStruck };
std::atomic<int> g_time_limit{kEnded};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

extern "C" void OnTimeLimit(int /*signal_number*/) {
  int armed = kArmed;
  if (g_time_limit.compare_exchange_strong(armed, kStruck)) {
    WriteAll(g_timeout_line.data(), g_timeout_line.size());
    _exit(1);
  }
}

// A stack overflow in the decoder leaves no stack to run a handler on.
void UseAlternateSignalStack() {
  static std::array<char, size_t{64} * 1024> alternate_stack;
  stack_t stack{};
  stack.ss_sp = alternate_stack.data();
  stack.ss_size = alternate_stack.size();
  (void)sigaltstack(&stack, nullptr);
}

void Handle(int signal_number, void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  (void)sigaction(signal_number, &action, nullptr);
}

}  // namespace

void ArmInProcessGuard(const std::string& crash_prefix, const std::string& timeout_line,
                       std::optional<std::chrono::seconds> time_limit) {
  g_crash_prefix = crash_prefix;
  g_timeout_line = timeout_line;
  (void)std::signal(SIGPIPE, SIG_IGN);
  UseAlternateSignalStack();
  for (const int signal_number : kCrashSignals) {
    Handle(signal_number, OnCrash, SA_ONSTACK | SA_RESETHAND);
  }
  if (time_limit) {
    g_time_limit = kArmed;
    Handle(SIGALRM, OnTimeLimit, SA_ONSTACK | SA_RESETHAND);
    (void)alarm(static_cast<unsigned>(time_limit->count()));
  }
}

void EndTimeLimit() {
  int armed = kArmed;
  if (!g_time_limit.compare_exchange_strong(armed, kEnded) && armed == kStruck) {
    for (;;) {
      pause();  // the handler, on another thread, is ending the process
    }
  }
  (void)alarm(0);
}

void DisarmInProcessGuard() {
  EndTimeLimit();
  (void)std::signal(SIGALRM, SIG_DFL);
  for (const int signal_number : kCrashSignals) {
    (void)std::signal(signal_number, SIG_DFL);
  }
}

// ---- interrupts

namespace {

volatile std::sig_atomic_t g_signal = 0;
volatile std::sig_atomic_t g_children_ended = 0;  // SIGCHLDs seen, as a count
int g_wake[2] = {-1, -1};
pid_t g_tool = -1;  // a forked worker inherits the handlers but is not the tool

// SIGINT and SIGTERM record the interrupt; all, SIGCHLD too, end a poll() at once.
extern "C" void OnSignal(int signal_number) {
  const int saved = errno;
  if (getpid() == g_tool) {
    if (signal_number == SIGCHLD) {
      g_children_ended = g_children_ended + 1;
    } else {
      g_signal = signal_number;
    }
    (void)!write(g_wake[1], "", 1);
  }
  errno = saved;
}

}  // namespace

bool InstallInterruptHandlers() {
  // Inherited SIGCHLD=SIG_IGN would make the kernel reap workers itself and leave
  // the tool without their exit status.
  (void)std::signal(SIGCHLD, SIG_DFL);
  if (g_wake[0] >= 0) {
    return true;
  }
  if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    g_wake[0] = g_wake[1] = -1;
    return false;
  }
  g_tool = getpid();
  for (const int signal_number : {SIGINT, SIGTERM}) {
    struct sigaction previous {};
    // A shell starts background jobs with SIGINT ignored; they stay deaf to it.
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      continue;
    }
    Handle(signal_number, OnSignal, SA_RESTART);
  }
  // A worker that ends while a child of its own holds its channel open is seen at once.
  Handle(SIGCHLD, OnSignal, SA_RESTART | SA_NOCLDSTOP);
  return true;
}

int InterruptSignal() { return g_signal; }

// ---- worker processes

struct Worker {
  pid_t pid = -1;
  int channel = -1;
  bool ready = false;  // poll() saw something on the channel
  bool reaped = false;
  int wait_status = 0;
  std::sig_atomic_t ended_seen = -1;  // g_children_ended when last looked at
};

namespace {

std::vector<Worker*> g_workers;  // those started and not yet ended
int g_channel_to_tool = -1;      // in a worker

WorkerEnd EndOf(int wait_status) {
  if (WIFSIGNALED(wait_status)) {
    return {true, "signal " + std::to_string(WTERMSIG(wait_status))};
  }
  if (WIFEXITED(wait_status)) {
    return {false, "exit status " + std::to_string(WEXITSTATUS(wait_status))};
  }
  return {false, "wait status " + std::to_string(wait_status)};
}

[[noreturn]] void ServeAsWorker(int channel, pid_t parent) {
  // Keep only this worker's own end: a sibling's channel held open here would hide
  // that sibling's death from the tool.
  for (const Worker* other : g_workers) {
    close(other->channel);
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
  g_channel_to_tool = channel;
  RunWorker();
}

}  // namespace

std::size_t MaxWorkers() { return 1024; }

Worker* StartWorker(std::string* reason) {
  // A write to a worker that just died must fail with EPIPE, not end the tool.
  (void)std::signal(SIGPIPE, SIG_IGN);
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    *reason = std::strerror(errno);
    return nullptr;
  }
  // Buffered output would otherwise be written once more by the child.
  (void)std::fflush(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    close(ends[0]);
    ServeAsWorker(ends[1], parent);
  }
  close(ends[1]);
  if (pid < 0) {
    *reason = std::strerror(errno);
    close(ends[0]);
    return nullptr;
  }
  auto* worker = new Worker{pid, ends[0]};
  g_workers.push_back(worker);
  return worker;
}

bool SendToWorker(Worker* worker, const std::string& bytes) {
  return WriteFully(worker->channel, bytes.data(), bytes.size());
}

void WaitForWorkers(const std::vector<Worker*>& workers, Clock::time_point until) {
  std::vector<pollfd> watched;
  watched.reserve(workers.size() + 1);
  for (const Worker* worker : workers) {
    watched.push_back({worker->channel, POLLIN, 0});
  }
  if (g_wake[0] >= 0) {
    watched.push_back({g_wake[0], POLLIN, 0});
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
  const int timeout_ms = static_cast<int>(std::clamp<decltype(wait)>(wait, 0, INT_MAX));
  if (poll(watched.data(), watched.size(), timeout_ms) < 0 && errno != EINTR) {
    // poll() itself failed (out of memory): wait a little instead of spinning.
    usleep(10000);
  }
  for (std::size_t i = 0; i < workers.size(); ++i) {
    workers[i]->ready = watched[i].revents != 0;
  }
  if (g_wake[0] >= 0 && watched.back().revents != 0) {
    char bytes[64];
    while (read(g_wake[0], bytes, sizeof bytes) > 0) {
    }
  }
}

Received ReceiveFromWorker(Worker* worker, std::string* bytes) {
  if (!worker->ready) {
    return Received::kNothing;
  }
  worker->ready = false;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = recv(worker->channel, buffer, sizeof buffer, MSG_DONTWAIT)) < 0 && errno == EINTR) {
  }
  if (got > 0) {
    bytes->append(buffer, static_cast<std::size_t>(got));
    return Received::kSome;
  }
  return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? Received::kNothing : Received::kClosed;
}

// Asks the system only after a SIGCHLD (when the handlers are in place).
bool WorkerExited(Worker* worker) {
  if (!worker->reaped && (g_wake[0] < 0 || worker->ended_seen != g_children_ended)) {
    worker->ended_seen = g_children_ended;
    worker->reaped = waitpid(worker->pid, &worker->wait_status, WNOHANG) == worker->pid;
  }
  return worker->reaped;
}

WorkerEnd EndWorker(Worker* worker, bool kill) {
  close(worker->channel);
  if (kill && !WorkerExited(worker)) {
    ::kill(worker->pid, SIGKILL);
  }
  while (!worker->reaped && waitpid(worker->pid, &worker->wait_status, 0) < 0 && errno == EINTR) {
  }
  WorkerEnd end = EndOf(worker->wait_status);
  g_workers.erase(std::find(g_workers.begin(), g_workers.end(), worker));
  delete worker;
  return end;
}

std::size_t ReadFromTool(char* buffer, std::size_t size, bool wait) {
  ssize_t got = 0;
  while ((got = recv(g_channel_to_tool, buffer, size, wait ? 0 : MSG_DONTWAIT)) < 0 && errno == EINTR) {
  }
  return got > 0 ? static_cast<std::size_t>(got) : 0;
}

bool WriteToTool(const std::string& bytes) {
  return WriteFully(g_channel_to_tool, bytes.data(), bytes.size());
}

}  // namespace tarvelo::cli
