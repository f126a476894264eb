// The streamed POST's progress estimate: the last rate times the time since
// the start, never below a value reported before, whole past 2 GiB.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "zembrel/http/PostProgress.hpp"
#include "zembrel/platform/Clock.hpp"

namespace zembrel::detail {
namespace {

// As if the upload started `secondsAgo` and its last rate sample gave `rate`.
void setRate(PostProgress& record, double rate, double secondsAgo) {
  record.bodySizeIsLessThanBuffer = false;
  record.uploadRate = rate;
  record.startTime = monotonicSeconds() - secondsAgo;
}

struct Sample {
  double rate;        // bytes per second
  double secondsAgo;  // start of the upload
  std::int64_t atLeast;
};

struct ProgressCase {
  const char* name;
  std::vector<Sample> samples;  // in order; each result is at least the one before
};

constexpr std::int64_t kGiB = std::int64_t{1} << 30;

const ProgressCase kCases[] = {
    {"RisesWithTheRate", {{1000, 2, 2000}, {2000, 3, 6000}}},
    // A slower sample would give less than already reported: the floor holds.
    {"FallingRateNeverGoesBack", {{100000, 10, 1000000}, {10, 10, 1000000}}},
    // 3 GiB needs more than 32 bits; the floor must keep all of them.
    {"FloorHoldsPast2GiB", {{double(kGiB), 3, 3 * kGiB}, {1, 3, 3 * kGiB}}},
};

class PostProgressEstimate : public ::testing::TestWithParam<ProgressCase> {};

// The estimate is checked against the interval the instance itself measured,
// which lies between the sample's age and that age plus the time the test
// took to ask: no bound on how fast the machine is.
TEST_P(PostProgressEstimate, FollowsTheRateAndNeverDecreases) {
  PostProgress state;
  std::int64_t previous = 0;
  for (const Sample& sample : GetParam().samples) {
    const double before = monotonicSeconds();
    setRate(state, sample.rate, sample.secondsAgo);
    const std::int64_t progress = state.estimate(monotonicSeconds());
    const double asked = monotonicSeconds() - before;
    // Up to rounding of the clock's seconds (far below a microsecond).
    EXPECT_GE(state.timeIntervalFromStart, sample.secondsAgo - 1e-6);
    EXPECT_LE(state.timeIntervalFromStart, sample.secondsAgo + asked + 1e-6);
    const auto estimate =
        static_cast<std::int64_t>(std::trunc(state.timeIntervalFromStart * sample.rate));
    EXPECT_EQ(progress, std::max(estimate, previous));
    EXPECT_GE(progress, sample.atLeast);
    EXPECT_EQ(state.lastProgressBytes, progress);
    previous = progress;
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, PostProgressEstimate, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zembrel::detail
