#include "progress_line.h"

#include <cmath>
#include <cstdio>

namespace tarvelo::cli {
namespace {

// About ten redraws a second: a line that changes faster cannot be read, and each
// redraw is output a terminal (or a remote session) has to carry.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr const char* kEraseLine = "\r\x1b[K";

}  // namespace

ProgressLine::ProgressLine(bool stderr_is_terminal, std::size_t total)
    : enabled_(stderr_is_terminal), total_(total) {}

void ProgressLine::Update(std::size_t done, std::size_t failed) {
  if (!enabled_) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && done < total_ && now - last_drawn_ < kRedrawInterval) {
    return;
  }
  (void)std::fprintf(stderr, "%starvelo-convert: %zu of %zu files done, %zu failed", kEraseLine, done, total_,
                     failed);
  const double seconds = std::chrono::duration<double>(now - started_).count();
  if (done > 0 && seconds > 0) {
    const double rate = static_cast<double>(done) / seconds;
    const auto left =
        static_cast<unsigned long long>(std::llround(static_cast<double>(total_ - done) / rate));
    (void)std::fprintf(stderr, ", %.1f files/s, %llu:%02llu left", rate, left / 60, left % 60);
  }
  shown_ = true;
  drawn_ = true;
  last_drawn_ = now;
}

void ProgressLine::Clear() {
  if (!shown_) {
    return;
  }
  (void)std::fputs(kEraseLine, stderr);
  shown_ = false;
}

}  // namespace tarvelo::cli
