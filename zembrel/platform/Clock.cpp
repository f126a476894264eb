#include "zembrel/platform/Clock.hpp"

#include <chrono>

namespace zembrel::detail {

double monotonicSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace zembrel::detail
