#include "zembrel/http/PostProgress.hpp"

#include <cmath>

namespace zembrel::detail {
namespace {

// A first rate sample that finds this share of the file sent means the
// network layer took the file in whole: progress then stops being a rate.
constexpr double kSmallFileThreshold = 0.95;
constexpr double kSmallFileProgressFactor = 0.5;

}  // namespace

PostProgress PostProgress::nextUpload() const {
  PostProgress next = *this;
  next.bodySizeIsLessThanBuffer = false;
  next.firstBytesWritten = 0;
  next.lastProgressBytes = 0;
  return next;
}

void PostProgress::sampleRate(std::int64_t requestBytesWritten, double now) {
  // Framing bytes (field parts, part header, closing line) are not file.
  std::int64_t written = requestBytesWritten - (bodySize - fileSize);
  if (written < 0) written = 0;
  if (firstBytesWritten == 0) {
    if (written > bodySize) return;
    firstBytesWritten = written;
    if (static_cast<double>(written) >= kSmallFileThreshold * static_cast<double>(fileSize)) {
      bodySizeIsLessThanBuffer = true;
      smallFileProgressBytes =
          static_cast<std::int64_t>(kSmallFileProgressFactor * static_cast<double>(fileSize));
    } else {
      bodySizeIsLessThanBuffer = false;
    }
    if (firstBytesWritten == 0) return;
  }
  if (written >= fileSize) return;  // the rate keeps its last value
  timeIntervalFromStart = now - startTime;
  if (timeIntervalFromStart <= 0) return;
  uploadRate = static_cast<double>(written - firstBytesWritten) / timeIntervalFromStart;
}

std::int64_t PostProgress::estimate(double now) {
  timeIntervalFromStart = now - startTime;

  std::int64_t value = smallFileProgressBytes;
  if (!bodySizeIsLessThanBuffer) {
    // Cut toward zero; a product beyond the 64-bit range (a rate left from an
    // earlier upload, a clock far off) saturates instead of overflowing.
    double product = std::trunc(timeIntervalFromStart * uploadRate);
    if (!(product == product)) product = 0;  // NaN
    if (product >= 9.2e18) {
      value = INT64_MAX;
    } else if (product <= -9.2e18) {
      value = INT64_MIN;
    } else {
      value = static_cast<std::int64_t>(product);
    }
  }

  const std::int64_t result = value >= lastProgressBytes ? value : lastProgressBytes;
  lastProgressBytes = result;
  return result;
}

}  // namespace zembrel::detail
