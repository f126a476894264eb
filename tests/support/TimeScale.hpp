#pragma once

#include <chrono>

namespace zembrel::test {

// How many times longer than on an idle machine without instrumentation a
// test may take: ZEMBREL_TEST_TIME_SCALE (at least 1; 1 when unset), which
// the sanitizer presets raise. Only bounds whose point is time (a stall
// limit, a budget, "gives up instead of hanging") are scaled; checks of what
// happened never depend on time.
double timeScale();

// `bound` times timeScale().
std::chrono::milliseconds scaled(std::chrono::milliseconds bound);
double scaledSeconds(double seconds);

}  // namespace zembrel::test
