#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace tarvelo::cli {

// The platform layer under ConvertInProcess (in_process_conversion.h): guards that
// turn a crash or an overrun of the conversion into one prepared line on stderr and
// exit status 1, whatever state the crash left.
//   in_process_guard_posix.cpp    signal handlers on an alternate stack; alarm()
//   in_process_guard_windows.cpp  an unhandled-exception filter; a watchdog thread
//
// `crash_prefix` is the failure line up to the cause, which the guard completes
// with "signal 11)" or "exception 0xC0000005)" and the line's end; `timeout_line`
// is written whole when `time_limit` passes (none: no limit). Both are copied.
// Also makes a write to a pipe whose reader went away fail rather than end the
// process.
void ArmInProcessGuard(const std::string& crash_prefix, const std::string& timeout_line,
                       std::optional<std::chrono::seconds> time_limit);

// Takes the guards down again once the conversion has returned.
void DisarmInProcessGuard();

}  // namespace tarvelo::cli
