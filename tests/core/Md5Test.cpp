#include <gtest/gtest.h>

#include <string>

#include "zembrel/Zembrel.hpp"

namespace zembrel {
namespace {

struct Md5Case {
  std::string input;
  const char* digest;
};

class Md5Test : public ::testing::TestWithParam<Md5Case> {};

TEST_P(Md5Test, DigestsTheUtf8BytesUpToTheFirstZero) {
  auto zembrel = Zembrel::initZembrel();
  EXPECT_EQ(zembrel->md5FromString(GetParam().input), GetParam().digest);
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Rfc1321Suite, Md5Test,
    ::testing::Values(
        Md5Case{"", "d41d8cd98f00b204e9800998ecf8427e"},
        Md5Case{"a", "0cc175b9c0f1b6a831c399e269772661"},
        Md5Case{"abc", "900150983cd24fb0d6963f7d28e17f72"},
        Md5Case{"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        Md5Case{"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        Md5Case{"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                "d174ab98d277d9f5a5611c2c9f419d9f"},
        Md5Case{"1234567890123456789012345678901234567890123456789012345678901234567890123456"
                "7890",
                "57edf4a22be3c955ac49da2e2107b67a"}));

INSTANTIATE_TEST_SUITE_P(
    TextEdges, Md5Test,
    ::testing::Values(
        // "é" as its two UTF-8 bytes.
        Md5Case{"\xc3\xa9", "66ddcd97cfdeabb2f6fb8a999b4bc76f"},
        // U+0000 ends the input: only "abc" is digested.
        Md5Case{"abc\0def"s, "900150983cd24fb0d6963f7d28e17f72"},
        Md5Case{"\0abc"s, "d41d8cd98f00b204e9800998ecf8427e"}));

}  // namespace
}  // namespace zembrel
