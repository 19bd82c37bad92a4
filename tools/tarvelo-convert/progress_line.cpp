#include "progress_line.h"

#include <cstdio>

namespace tarvelo::cli {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
constexpr const char* kEraseLine = "\r\x1b[K";

}  // namespace

ProgressLine::ProgressLine(bool stderr_is_terminal, std::size_t total)
    : enabled_(stderr_is_terminal), total_(total) {}

void ProgressLine::Update(std::size_t done, std::size_t failed) {
  if (!enabled_) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (shown_ && done < total_ && now - last_drawn_ < kRedrawInterval) {
    return;
  }
  (void)std::fprintf(stderr, "%starvelo-convert: %zu of %zu files done, %zu failed", kEraseLine, done, total_,
                     failed);
  shown_ = true;
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
