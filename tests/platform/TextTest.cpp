#include <gtest/gtest.h>

#include "zembrel/platform/Text.hpp"

namespace zembrel::detail {
namespace {

struct TrimCase {
  const char* name;
  std::string_view text;
  std::string_view trimmed;
};

class TrimTest : public ::testing::TestWithParam<TrimCase> {};

TEST_P(TrimTest, TrimsWhitespaceAndLineBreaksAtBothEnds) {
  EXPECT_EQ(trimWhitespaceAndNewlines(GetParam().text), GetParam().trimmed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrimTest,
    ::testing::Values(TrimCase{"Empty", "", ""}, TrimCase{"OnlySpaces", " \t\n\r\v\f", ""},
                      TrimCase{"InnerSpaceKept", "  a b  ", "a b"},
                      TrimCase{"NextLine", "\xC2\x85x\xC2\x85", "x"},
                      TrimCase{"NoBreakSpace", "\xC2\xA0x\xC2\xA0", "x"},
                      TrimCase{"IdeographicSpace", "\xE3\x80\x80x\xE3\x80\x80", "x"},
                      TrimCase{"LineAndParagraphSeparators", "\xE2\x80\xA8x\xE2\x80\xA9", "x"},
                      TrimCase{"EnSpaceAndNarrowNoBreak", "\xE2\x80\x82x\xE2\x80\xAF", "x"},
                      // Not white space: a zero-width space and a letter sharing the lead byte.
                      TrimCase{"ZeroWidthSpaceKept", "\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},
                      TrimCase{"AccentedLetterKept", "\xC3\xA9 ", "\xC3\xA9"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zembrel::detail
