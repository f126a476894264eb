#include <gtest/gtest.h>

#include "zembrel/http/FormEncoding.hpp"
#include "zembrel/platform/Url.hpp"

namespace zembrel::detail {
namespace {

TEST(FormEncoding, UrlEncodedPairsKeepEveryFieldAsGiven) {
  EXPECT_EQ(urlEncodedPairs({"a", "1", "b", "x y"}), "a=1&b=x%20y");
  // "&", "=" and "+" inside a value would split or change the fields.
  EXPECT_EQ(urlEncodedPairs({"q", "a&b=c+d"}), "q=a%26b%3Dc%2Bd");
  EXPECT_EQ(urlEncodedPairs({"k%", "#\xc3\xa9"}), "k%25=%23%C3%A9");
  EXPECT_EQ(urlEncodedPairs({"path", "/a;b?c:d@e$f,g"}), "path=/a;b?c:d@e$f,g");
  EXPECT_EQ(urlEncodedPairs({"odd"}), "");
  EXPECT_EQ(urlEncodedPairs({"a", "1", "dangling"}), "a=1");
}

TEST(FormEncoding, MultipartFieldPartLayout) {
  const std::string part = multipartFieldPart("0xKhTmLbOuNdArY", "title", "Hi");
  EXPECT_EQ(part, "--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nHi\r\n");
  EXPECT_EQ(part.size(), 71u);
  EXPECT_EQ(multipartFieldParts("B", {"a", "1", "b", "x y", "ignored"}),
            multipartFieldPart("B", "a", "1") + multipartFieldPart("B", "b", "x y"));
  EXPECT_EQ(multipartClosingLine("B"), "--B--\r\n");
}

TEST(FormEncoding, EveryRequestGetsItsOwnBoundary) {
  const std::string first = newMultipartBoundary();
  EXPECT_EQ(first.rfind(kBoundaryPrefix, 0), 0u);
  EXPECT_EQ(first.size(), kBoundaryPrefix.size() + 32);
  EXPECT_NE(newMultipartBoundary(), first);
  EXPECT_EQ(multipartContentType(first), "multipart/form-data; boundary=" + first);
}

TEST(FormEncoding, NamesCannotForgeHeaders) {
  EXPECT_EQ(quotedHeaderParameter("a\"b\r\nX-Evil: 1"), "a%22b%0D%0AX-Evil: 1");
  EXPECT_EQ(multipartFieldPart("0xKhTmLbOuNdArY", "n\"", "v\r\n"),
            "--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"n%22\"\r\n\r\nv\r\n\r\n");
}

}  // namespace
}  // namespace zembrel::detail
