#include <gtest/gtest.h>

#include "zembrel/Zembrel.hpp"
#include "zembrel/platform/CurlGlobal.hpp"

namespace zembrel {
namespace {

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
