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
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "conversion.h"
#include "fd_io.h"
#include "platform.h"

namespace tarvelo::cli {

std::vector<std::string> ToolArguments(int argc, char** argv) {
  return {argv + std::min(argc, 1), argv + argc};
}

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

int OpenForReading(const std::string& path) { return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY); }

namespace {

int g_output_directory = -1;
constexpr int kHeldFlags = O_PATH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;
constexpr int kMaxLinks = 40;  // as the kernel counts them

// Opens the directory `path` (relative to `start`) one component at a time,
// following a link only where the kernel's link protection would, whatever the
// system's setting, as the library walks a destination: not a link in a sticky
// world-writable directory owned by neither this user nor that directory's owner.
// The root is reached by absolute names ("/tmp"), not through a descriptor of "/",
// as an emulator that maps "/" onto a system root of its own (qemu-user's -L) maps
// only the names that exist there. With `make`, each directory is made first and
// no link is followed (ENOTDIR when a file or a link is in a directory's place).
int OpenProtected(int start, const std::string& path, int links, bool make = false) {
  int directory = openat(start, path.starts_with('/') ? "/" : ".", kHeldFlags);
  std::string name = path.starts_with('/') ? "/" : "";  // openat ignores the descriptor for it
  for (std::size_t at = 0; directory >= 0 && at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') {
      name += path[at];
      continue;
    }
    if (name.empty() || name == "/" || name == "." || name == "/.") {
      continue;
    }
    const bool made = !make || mkdirat(directory, name.c_str(), 0777) == 0 || errno == EEXIST;
    int next = made ? openat(directory, name.c_str(), kHeldFlags) : -1;
    int error = made && make && next < 0 && errno != ENOENT ? ENOTDIR : errno;
    struct stat link {};
    struct stat holder {};
    std::array<char, PATH_MAX> target{};
    if (next < 0 && !make && fstatat(directory, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(link.st_mode) && fstat(directory, &holder) == 0) {
      const bool shared = (holder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
      const ssize_t length = readlinkat(directory, name.c_str(), target.data(), target.size() - 1);
      if (shared && link.st_uid != geteuid() && link.st_uid != holder.st_uid) {
        error = EACCES;
      } else if (length <= 0 || static_cast<std::size_t>(length) == target.size() - 1 || links >= kMaxLinks) {
        error = ELOOP;
      } else {
        next = OpenProtected(directory, target.data(), links + 1);
        error = errno;
      }
    }
    close(directory);
    directory = next;
    errno = error;
    name.clear();
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
  const int directory = OpenProtected(g_output_directory, relative, 0, true);
  if (directory < 0) {
    return errno;
  }
  close(directory);
  return 0;
}

void EndAtBrokenPipe() {
  (void)std::signal(SIGPIPE, SIG_DFL);
  (void)std::raise(SIGPIPE);
  std::_Exit(1);
}

// ---- the guard of a conversion in the tool's own process

namespace {

constexpr std::array kCrashSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// What the handler writes, prepared before the conversion starts: a handler may
// only use async-signal-safe calls (WriteFully calls write() alone).
std::string g_crash_prefix;  // "tarvelo-convert: FILE: decoder crashed (signal "

extern "C" void OnCrash(int signal_number) {
  // The crash signals' numbers have one or two digits.
  const char number[] = {static_cast<char>('0' + signal_number / 10),
                         static_cast<char>('0' + signal_number % 10), ')', '\n'};
  (void)WriteFully(STDERR_FILENO, g_crash_prefix.data(), g_crash_prefix.size());
  (void)WriteFully(STDERR_FILENO, signal_number < 10 ? number + 1 : number, signal_number < 10 ? 3 : 4);
  _exit(1);
}

void Handle(int signal_number, void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  (void)sigaction(signal_number, &action, nullptr);
}

}  // namespace

void ArmCrashGuard(const std::string& crash_prefix) {
  g_crash_prefix = crash_prefix + "signal ";
  (void)std::signal(SIGPIPE, SIG_IGN);
  // A stack overflow in the decoder leaves no stack to run a handler on.
  static std::array<char, size_t{64} * 1024> alternate_stack;
  stack_t stack{};
  stack.ss_sp = alternate_stack.data();
  stack.ss_size = alternate_stack.size();
  (void)sigaltstack(&stack, nullptr);
  for (const int signal_number : kCrashSignals) {
    Handle(signal_number, OnCrash, SA_ONSTACK | SA_RESETHAND);
  }
}

void EndWithLine(const std::string& line) {
  (void)WriteFully(STDERR_FILENO, line.data(), line.size());
  _exit(1);
}

// ---- interrupts

namespace {

volatile std::sig_atomic_t g_signal = 0;
int g_wake[2] = {-1, -1};
pid_t g_tool = -1;  // a forked worker inherits the handlers but is not the tool

// SIGINT and SIGTERM record the interrupt; all, SIGCHLD too, end a poll() at once.
extern "C" void OnSignal(int signal_number) {
  const int saved = errno;
  if (getpid() == g_tool) {
    g_signal = signal_number == SIGCHLD ? g_signal : signal_number;
    (void)!write(g_wake[1], "", 1);
  }
  errno = saved;
}

}  // namespace

void InstallInterruptHandlers() {
  // Inherited SIGCHLD=SIG_IGN would make the kernel reap workers itself and leave
  // the tool without their exit status.
  (void)std::signal(SIGCHLD, SIG_DFL);
  if (g_wake[0] >= 0 || pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    return;  // installed, or an interrupt simply ends the tool, as by default
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
}

int InterruptSignal() { return g_signal; }

// ---- worker processes

struct Worker {
  pid_t pid = -1;
  int channel = -1;
  bool reaped = false;
  int wait_status = 0;
};

namespace {

std::vector<Worker*> g_workers;  // those started and not yet ended
int g_channel_to_tool = -1;      // in a worker

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
    // Keep only this worker's own end: a sibling's channel held open here would
    // hide that sibling's death from the tool.
    for (const Worker* other : g_workers) {
      close(other->channel);
    }
    close(ends[0]);
#if defined(__linux__)
    // A worker stuck in the decoder must not outlive a tool that was killed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
      _exit(0);
    }
#endif
    g_channel_to_tool = ends[1];
    RunWorker();
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

void WaitForWorkers(const std::vector<Worker*>& workers, int timeout_ms) {
  std::vector<pollfd> watched;
  watched.reserve(workers.size() + 1);
  for (const Worker* worker : workers) {
    watched.push_back({worker->channel, POLLIN, 0});
  }
  if (g_wake[0] >= 0) {
    watched.push_back({g_wake[0], POLLIN, 0});
  }
  if (poll(watched.data(), watched.size(), timeout_ms) < 0 && errno != EINTR) {
    // poll() itself failed (out of memory): wait a little instead of spinning.
    usleep(10000);
  }
  if (g_wake[0] >= 0 && watched.back().revents != 0) {
    char bytes[64];
    while (read(g_wake[0], bytes, sizeof bytes) > 0) {
    }
  }
}

Received ReceiveFromWorker(Worker* worker, std::string* bytes) {
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

bool WorkerExited(Worker* worker) {
  if (!worker->reaped) {
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
  // Without WUNTRACED, a worker waited for has exited or was killed by a signal.
  const int status = worker->wait_status;
  WorkerEnd end = WIFSIGNALED(status)
                      ? WorkerEnd{true, "signal " + std::to_string(WTERMSIG(status))}
                      : WorkerEnd{false, "exit status " + std::to_string(WEXITSTATUS(status))};
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
