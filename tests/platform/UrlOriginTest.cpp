#include <gtest/gtest.h>

#include "zembrel/platform/Url.hpp"

namespace zembrel::detail {
namespace {

struct OriginCase {
  const char* name;
  const char* first;
  const char* second;
  bool same;
};

class UrlOriginTest : public ::testing::TestWithParam<OriginCase> {};

TEST_P(UrlOriginTest, TellsWhetherTwoUrlsShareAnOrigin) {
  const auto first = urlOrigin(GetParam().first);
  const auto second = urlOrigin(GetParam().second);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(*first == *second, GetParam().same);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UrlOriginTest,
    ::testing::Values(
        OriginCase{"DefaultPortNamed", "https://h/files", "https://h:443/files/1", true},
        OriginCase{"CaseOfSchemeAndHost", "https://h/files", "HTTPS://H/files/1", true},
        OriginCase{"UserInfoIgnored", "http://h/files", "http://u:p@h/files/1", true},
        OriginCase{"OtherPort", "http://h/files", "http://h:8080/files/1", false},
        OriginCase{"OtherScheme", "http://h/files", "https://h/files/1", false},
        OriginCase{"OtherHost", "https://h/files", "https://g/files/1", false},
        // The same link-local address on another interface is another machine.
        OriginCase{"OtherInterface", "http://[fe80::1%25eth0]/files",
                   "http://[fe80::1%25eth1]/files/1", false},
        OriginCase{"SameInterface", "http://[fe80::1%25eth0]/files",
                   "http://[fe80::1%25eth0]:80/files/1", true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zembrel::detail
