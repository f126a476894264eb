#include <cmath>

#include "zembrel/Zembrel.hpp"
#include "zembrel/platform/Clock.hpp"

namespace zembrel {

std::int64_t Zembrel::getPOSTProgress() {
  timeIntervalFromStart = detail::monotonicSeconds() - startTime;

  std::int64_t estimate = smallFileProgressBytes;
  if (!bodySizeIsLessThanBuffer) {
    // Cut toward zero; a product beyond the 64-bit range (a rate left from an
    // earlier upload, a clock far off) saturates instead of overflowing.
    double product = std::trunc(timeIntervalFromStart * uploadRate);
    if (!(product == product)) product = 0;  // NaN
    if (product >= 9.2e18) {
      estimate = INT64_MAX;
    } else if (product <= -9.2e18) {
      estimate = INT64_MIN;
    } else {
      estimate = static_cast<std::int64_t>(product);
    }
  }

  const std::int64_t floor = lastProgressBytes;
  const std::int64_t result = estimate >= floor ? estimate : floor;
  lastProgressBytes = result;
  return result;
}

}  // namespace zembrel
