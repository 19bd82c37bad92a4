#pragma once

#include <chrono>
#include <cstddef>

namespace tarvelo::cli {

// A batch's progress, redrawn in place on one line of stderr. Only drawn when
// stderr is a terminal: in a log or a pipe it would be noise.
class ProgressLine {
 public:
  ProgressLine(bool stderr_is_terminal, std::size_t total);

  // "N of M files done, F failed, R files/s, m:ss left"; redraws, at most about ten times a second (and once
  // more for the last file); a line erased by Clear waits for its turn too.
  void Update(std::size_t done, std::size_t failed);
  // Erases the line, before other output or at the end.
  void Clear();

 private:
  bool enabled_;
  bool shown_ = false;  // on the terminal now
  bool drawn_ = false;  // drawn at least once
  std::size_t total_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_drawn_;
};

}  // namespace tarvelo::cli
