// One wall-clock budget shared by every untrusted step of a run (the render workers and the
// external thumbnailers), so that a hostile document costs at most the budget, however many
// steps it passes through.
#pragma once

#include <algorithm>
#include <chrono>

namespace thumbtool {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Deadline(std::chrono::milliseconds budget) : end_(Clock::now() + budget) {}

  bool passed() const { return Clock::now() >= end_; }

  // What is left, never negative.
  std::chrono::milliseconds remaining() const {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now());
    return std::max(left, std::chrono::milliseconds{0});
  }

  // Whole seconds left, rounded up, at least 1: for CPU-time limits of children.
  long remainingSeconds() const { return std::max<long>(1, (remaining().count() + 999) / 1000); }

  // A poll() timeout: what is left, but at most cap milliseconds.
  int pollTimeout(int cap) const {
    return static_cast<int>(std::min<long long>(remaining().count(), cap));
  }

 private:
  Clock::time_point end_;
};

}  // namespace thumbtool
