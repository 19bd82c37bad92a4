#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace tarvelo::cli {

// Everything of the tool that differs between systems, under one header:
//   platform_posix.cpp    worker processes forked, each with a socket pair; signals;
//   platform_windows.cpp  the tool started again in its worker mode, on a named
//                         pipe; a console control handler; UTF-16 names.
// The rest of the tool is written once over these. Names are UTF-8 throughout.

using Clock = std::chrono::steady_clock;

// The arguments after the program's name, in UTF-8 (Windows: from the wide
// command line, as the narrow argv holds the ANSI code page's approximation of
// each name), with standard input and output made binary. Started as a worker
// (Windows: by StartWorker), it serves as one (RunWorker, conversion.h) and never
// returns.
std::vector<std::string> ToolArguments(int argc, char** argv);

// The CPUs this process may run on.
std::size_t CoreCount();
// A descriptor for reading `path`, or -1 (errno set); close() closes it.
int OpenForReading(const std::string& path);

// A batch's output directory, held open while the batch runs so that renaming it or
// putting a link in its place redirects nothing: the prefix that names files below
// it ("/proc/self/fd/N/" on Linux, the directory's name and "/" elsewhere; Windows
// holds it without delete sharing, so it cannot be renamed or replaced). Empty, with
// errno set, when it cannot be opened.
std::string HoldOutputDirectory(const std::string& path);
// Creates the directories of `relative` ("a/b") below the held directory, one at a
// time and never through a link. 0 or an errno.
int MakeDirectoriesBelow(const std::string& relative);

// The reader of standard output went away (| head -c 10): the tool ends as any
// filter does, quietly, by SIGPIPE (which it otherwise ignores); Windows has no such
// signal and exits with status 1.
[[noreturn]] void EndAtBrokenPipe();

// The guard of a conversion in the tool's own process (conversion.h) that turns a
// crash into one prepared line on stderr and exit status 1, whatever state the
// crash left: signal handlers on an alternate stack on POSIX systems, an
// unhandled-exception filter on Windows. `crash_prefix`, copied, is the failure
// line up to the cause, which the guard completes with "signal 11)" or "exception
// 0xC0000005)" and the line's end. Also makes a write to a pipe whose reader went
// away fail rather than end the process.
// Armed for the rest of the process: only the report follows the conversion.
void ArmCrashGuard(const std::string& crash_prefix);
// Writes `line` on stderr and ends the process with status 1 at once, whatever
// its other threads are doing (the in-process time limit).
[[noreturn]] void EndWithLine(const std::string& line);

// A batch that is interrupted (SIGINT, SIGTERM; Windows: Ctrl-C, Ctrl-Break, the
// console closing) stops handing out files, lets the files being converted finish
// for a bounded time and reports what was and was not done (worker_pool.h).
// Installs the handlers; they record the interrupt and end a WaitForWorkers at
// once. They restart interrupted system calls, so the library's own calls are not
// disturbed. Workers record nothing: an interrupt sent to the whole process group
// (Ctrl-C at a terminal) leaves a worker to finish its file and reply. Should they
// not be installed, an interrupt simply ends the tool.
void InstallInterruptHandlers();
// The signal that interrupted the run (SIGINT, SIGTERM), 0 while none has.
int InterruptSignal();

// A worker process: a copy of the tool that converts the files the tool sends it on
// its channel, one at a time, and replies to each (worker_messages.h).
struct Worker;

// How a worker process ended: `crashed` when a fault ended it (a signal, an
// exception no handler caught), `how` in words: "signal 11", "exit status 3",
// "exception 0xC0000005".
struct WorkerEnd {
  bool crashed = false;
  std::string how;
};

// At most this many workers at once (the handles one wait can watch on Windows).
std::size_t MaxWorkers();
// Starts a worker; null, with the reason, when none could be started.
Worker* StartWorker(std::string* reason);
// Blocking; false when the worker is gone. A write to a dead worker never ends the
// tool (SIGPIPE is ignored).
bool SendToWorker(Worker* worker, const std::string& bytes);
// Waits until one of `workers` has sent something, closed its channel or ended, an
// interrupt arrives, or `timeout_ms` (not negative) passes.
void WaitForWorkers(const std::vector<Worker*>& workers, int timeout_ms);
enum class Received { kNothing, kSome, kClosed };
// Appends what the worker has sent, without waiting; kClosed when its channel is closed (it ended, or closed
// it).
Received ReceiveFromWorker(Worker* worker, std::string* bytes);
// Whether the worker's process has ended, without waiting.
bool WorkerExited(Worker* worker);
// Closes the channel, kills the worker unless `kill` is false or it has ended,
// waits for it and frees it. Returns how it ended.
WorkerEnd EndWorker(Worker* worker, bool kill);

// In a worker: reads and writes on the channel to the tool. ReadFromTool returns
// the bytes read: when `wait`, it waits for some, and 0 means the end or an error;
// otherwise it takes only what is there, maybe nothing.
std::size_t ReadFromTool(char* buffer, std::size_t size, bool wait);
bool WriteToTool(const std::string& bytes);

}  // namespace tarvelo::cli
