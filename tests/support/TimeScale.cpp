#include "TimeScale.hpp"

#include <cstdlib>

namespace zembrel::test {

double timeScale() {
  const char* text = std::getenv("ZEMBREL_TEST_TIME_SCALE");
  const double factor = text ? std::strtod(text, nullptr) : 1.0;
  return factor >= 1.0 ? factor : 1.0;  // also for NaN and garbage
}

std::chrono::milliseconds scaled(std::chrono::milliseconds bound) {
  return std::chrono::milliseconds(
      static_cast<std::chrono::milliseconds::rep>(static_cast<double>(bound.count()) * timeScale()));
}

double scaledSeconds(double seconds) { return seconds * timeScale(); }

}  // namespace zembrel::test
