// The argument rules: integer reading, sizes, boxes, format names and "~".
#include "CommandLine.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

#include "ScopedEnvironment.hpp"

namespace thumbtool {
namespace {

struct IntCase {
  const char* text;
  int value;
};

class IntValueTest : public testing::TestWithParam<IntCase> {};

TEST_P(IntValueTest, ReadsLikeTheCommandLineRule) {
  EXPECT_EQ(intValue(GetParam().text), GetParam().value) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IntValueTest,
    testing::Values(IntCase{"640", 640}, IntCase{"  \t\n640", 640}, IntCase{"+7", 7},
                    IntCase{"-5", -5}, IntCase{"12abc", 12}, IntCase{"abc", 0}, IntCase{"", 0},
                    IntCase{"-", 0}, IntCase{"2147483647", INT_MAX}, IntCase{"2147483648", INT_MAX},
                    IntCase{"99999999999", INT_MAX}, IntCase{"-2147483648", INT_MIN},
                    IntCase{"-99999999999999999999999999", INT_MIN},
                    IntCase{"000000000000000000000042", 42}, IntCase{"4 2", 4}, IntCase{"1.9", 1}));

struct SizeCase {
  const char* text;
  int width;
  int height;
};

class ParseSizeTest : public testing::TestWithParam<SizeCase> {};

TEST_P(ParseSizeTest, CutsAtEveryX) {
  RequestedSize size = parseSize(GetParam().text);
  EXPECT_EQ(size.width, GetParam().width) << GetParam().text;
  EXPECT_EQ(size.height, GetParam().height) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseSizeTest,
                         testing::Values(SizeCase{"640x480", 640, 480}, SizeCase{"1x2x3", 1, 2},
                                         SizeCase{"abcx50", 0, 50}, SizeCase{" 640x480", 640, 480},
                                         SizeCase{"-5x10", -5, 10},
                                         SizeCase{"99999999999x1", INT_MAX, 1},
                                         SizeCase{"300", 300, 300}, SizeCase{"x", 0, 0},
                                         SizeCase{"640X480", 640, 640}, SizeCase{"7x", 7, 0}));

TEST(BoxForSizeTest, NonPositiveAndHugeSidesBecomeTheLargestSide) {
  Box box = boxForSize({0, 50});
  EXPECT_EQ(box.width, kMaxSide);
  EXPECT_EQ(box.height, 50);
  box = boxForSize({-5, INT_MAX});
  EXPECT_EQ(box.width, kMaxSide);
  EXPECT_EQ(box.height, kMaxSide);
  box = boxForSize({640, 480});
  EXPECT_EQ(box.width, 640);
  EXPECT_EQ(box.height, 480);
}

TEST(FormatNamedTest, AcceptsTheFiveNamesInAnyCaseOnly) {
  EXPECT_EQ(formatNamed("png"), Format::png);
  EXPECT_EQ(formatNamed("PnG"), Format::png);
  EXPECT_EQ(formatNamed("TIFF"), Format::tiff);
  EXPECT_EQ(formatNamed("Bmp"), Format::bmp);
  EXPECT_EQ(formatNamed("gIF"), Format::gif);
  EXPECT_EQ(formatNamed("JPG"), Format::jpg);
  for (const char* other : {"jpeg", "tif", "webp", "", "png ", " png", "pn", "png\n"}) {
    EXPECT_FALSE(formatNamed(other).has_value()) << '"' << other << '"';
  }
}

TEST(ExpandTildeTest, ExpandsOnlyALeadingTilde) {
  zembrel::test::ScopedEnvironment home("HOME", "/home/someone");
  EXPECT_EQ(expandTilde("~"), "/home/someone");
  EXPECT_EQ(expandTilde("~/a/b.png"), "/home/someone/a/b.png");
  EXPECT_EQ(expandTilde("a/~/b"), "a/~/b");
  EXPECT_EQ(expandTilde("/x/~"), "/x/~");
  EXPECT_EQ(expandTilde("~root/x"), "/root/x");
  EXPECT_EQ(expandTilde("~no-such-user-here/x"), "~no-such-user-here/x");
  home.set("HOME", "/");
  EXPECT_EQ(expandTilde("~/x"), "/x");
}

}  // namespace
}  // namespace thumbtool
