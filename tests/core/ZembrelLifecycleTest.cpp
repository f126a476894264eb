#include <gtest/gtest.h>

#include "zembrel/Zembrel.hpp"
#include "zembrel/platform/CurlGlobal.hpp"

namespace zembrel {
namespace {

TEST(ZembrelLifecycle, NewInstanceFields) {
  auto zembrel = Zembrel::initZembrel();
  ASSERT_NE(zembrel, nullptr);
  auto s = zembrel->snapshot();
  EXPECT_EQ(s.progressEventInterval, 1.0);
  EXPECT_FALSE(s.postInProgress);
  EXPECT_FALSE(s.hasCurlHandle);
  EXPECT_FALSE(s.hasMultiHandle);
  EXPECT_FALSE(s.doingUpload);
  EXPECT_FALSE(s.hasResponseData);
  EXPECT_FALSE(s.hasProgressTimer);
  EXPECT_FALSE(s.hasRateTimer);
  EXPECT_EQ(s.bodySize, 0);
  EXPECT_EQ(s.fileSize, 0);
  EXPECT_EQ(s.smallFileProgressBytes, 0);
  EXPECT_EQ(s.initialProgressVal, 0);
  EXPECT_EQ(s.progressBytes, 0);
  EXPECT_EQ(s.lastProgressBytes, 0);
  EXPECT_EQ(s.uploadRate, 0.0);
  EXPECT_EQ(s.timeIntervalFromStart, 0.0);
  EXPECT_EQ(s.startTime, 0.0);
  EXPECT_EQ(s.firstBytesWritten, 0);
  EXPECT_FALSE(s.bodySizeIsLessThanBuffer);
  EXPECT_EQ(s.bodyFilePath, "");
  EXPECT_EQ(s.cookieStr, "");
  EXPECT_EQ(s.lastFTPCode, 0);
  EXPECT_FALSE(s.lastFTPDescription.has_value());
}

TEST(ZembrelLifecycle, EveryInstanceBalancesLibcurlGlobalSetUp) {
  const int before = detail::curlGlobalBalance();
  {
    auto first = Zembrel::initZembrel();
    EXPECT_EQ(detail::curlGlobalBalance(), before + 1);
    auto second = Zembrel::initZembrel();
    EXPECT_EQ(detail::curlGlobalBalance(), before + 2);
    second.reset();
    EXPECT_EQ(detail::curlGlobalBalance(), before + 1);
  }
  EXPECT_EQ(detail::curlGlobalBalance(), before);
}

}  // namespace
}  // namespace zembrel
