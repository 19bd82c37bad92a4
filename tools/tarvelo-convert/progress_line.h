#pragma once

#include <chrono>
#include <cstddef>

namespace tarvelo::cli {

// A batch's progress, redrawn in place on one line of stderr. Only drawn when
// stderr is a terminal: in a log or a pipe it would be noise.
class ProgressLine {
 public:
  ProgressLine(bool stderr_is_terminal, std::size_t total);

  // Redraws, at most every few tenths of a second except for the last file.
  void Update(std::size_t done, std::size_t failed);
  // Erases the line, before other output or at the end.
  void Clear();

 private:
  bool enabled_;
  bool shown_ = false;
  std::size_t total_;
  std::chrono::steady_clock::time_point last_drawn_;
};

}  // namespace tarvelo::cli
