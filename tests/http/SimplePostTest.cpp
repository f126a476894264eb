#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../support/HttpTestServer.hpp"
#include "../xml/ElementEntryPrinting.hpp"
#include "zembrel/Zembrel.hpp"
#include "zembrel/http/ResponseFile.hpp"

namespace zembrel {
namespace {

using namespace test;
using List = std::optional<std::vector<std::string>>;

// One server for the whole suite; each test uses its own paths.
class SimplePostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new HttpTestServer();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  std::string post(const std::string& pathAndQuery, const List& fields,
                   const std::optional<std::string>& encoding, const List& headers = std::nullopt,
                   const std::string& userAgent = "TestAgent/1") {
    return zembrel_->doSimplePostWithURL(server_->url(pathAndQuery), userAgent, fields, encoding,
                                         headers);
  }

  // The last request the server recorded.
  RecordedRequest lastRequest() {
    auto requests = server_->requests();
    EXPECT_FALSE(requests.empty());
    return requests.empty() ? RecordedRequest{} : requests.back();
  }

  static std::string responseFile() { return readFile(*detail::responseFilePath()); }

  static HttpTestServer* server_;
  std::shared_ptr<Zembrel> zembrel_ = Zembrel::initZembrel();
};

HttpTestServer* SimplePostTest::server_ = nullptr;

class GetTest : public SimplePostTest, public ::testing::WithParamInterface<List> {};

TEST_P(GetTest, NoFieldsSendsAGetWithoutBodyOrFormHeaders) {
  EXPECT_EQ(post("/get", GetParam(), "multipart", List{{"X-Test", "1"}}), "#complete|200");
  auto request = lastRequest();
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.bodyLength, 0);
  EXPECT_EQ(request.header("Content-Type"), std::nullopt);
  EXPECT_EQ(request.header("Connection"), std::nullopt);
  EXPECT_EQ(request.header("User-Agent"), "TestAgent/1");
  EXPECT_EQ(request.header("X-Test"), "1");
}

INSTANTIATE_TEST_SUITE_P(AbsentOrEmpty, GetTest,
                         ::testing::Values(List{}, List{std::vector<std::string>{}}),
                         [](const auto& info) { return info.param ? "EmptyList" : "NoList"; });

struct BodyCase {
  const char* name;
  std::optional<std::string> encoding;
  std::vector<std::string> fields;
  std::string body;
  std::optional<std::string> contentType;
};

const std::string kMultipartAB =
    "--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n"
    "--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\nx y\r\n"
    "--{BOUNDARY}--\r\n";
const std::string kMultipartType = "multipart/form-data; boundary={BOUNDARY}";

class BodyTest : public SimplePostTest, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(BodyTest, SendsTheEncodingsExactBytesAndHeaders) {
  const auto& c = GetParam();
  EXPECT_EQ(post("/body", c.fields, c.encoding), "#complete|200");
  auto request = lastRequest();
  EXPECT_EQ(request.method, "POST");
  const std::string body = request.withBoundary(c.body);
  EXPECT_EQ(request.body, body);
  EXPECT_EQ(request.header("Content-Length"), std::to_string(body.size()));
  EXPECT_EQ(request.header("Content-Type"),
            c.contentType ? std::optional(request.withBoundary(*c.contentType)) : std::nullopt);
  EXPECT_EQ(request.header("Connection"), "keep-alive");
  EXPECT_EQ(request.header("Expect"), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, BodyTest,
    ::testing::Values(
        BodyCase{"Multipart", "multipart", {"a", "1", "b", "x y"}, kMultipartAB, kMultipartType},
        BodyCase{"MultipartOddElementIgnored",
                 "multipart",
                 {"a", "1", "b"},
                 "--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n"
                 "--{BOUNDARY}--\r\n",
                 kMultipartType},
        BodyCase{"MultipartSingleElement",
                 "multipart",
                 {"a"},
                 "--{BOUNDARY}--\r\n",
                 kMultipartType},
        BodyCase{"UrlEncoded",
                 "urlencoded",
                 {"a", "1", "b", "x y"},
                 "a=1&b=x%20y",
                 "application/x-www-form-urlencoded"},
        // Reserved characters inside a field are escaped so the server gets
        // the fields given.
        BodyCase{"UrlEncodedReservedCharacters",
                 "urlencoded",
                 {"k&=", "v+&=w", "z"},
                 "k%26%3D=v%2B%26%3Dw",
                 "application/x-www-form-urlencoded"},
        BodyCase{
            "UrlEncodedOneElement", "urlencoded", {"a"}, "", "application/x-www-form-urlencoded"},
        BodyCase{"Raw",
                 "raw",
                 {"<r>gr\xC3\xBC\xC3\x9F</r>", "ignored"},
                 "<r>gr\xC3\xBC\xC3\x9F</r>",
                 std::nullopt},
        BodyCase{"CapitalisedNameTakesTheDefaultPath",
                 "Multipart",
                 {"a", "1", "b", "x y"},
                 kMultipartAB,
                 std::nullopt},
        BodyCase{
            "EmptyNameTakesTheDefaultPath", "", {"a", "1", "b", "x y"}, kMultipartAB, std::nullopt},
        BodyCase{"NoEncodingTakesTheDefaultPath",
                 std::nullopt,
                 {"a", "1", "b", "x y"},
                 kMultipartAB,
                 std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimplePostTest, CallerHeadersComeLastAndReplaceOurs) {
  List headers{{"content-type", "text/xml", "User-Agent", "Mine/2", "Connection", "close",
                "X-Empty", "", "X-Odd"}};
  EXPECT_EQ(post("/headers", List{{"a", "1"}}, "urlencoded", headers), "#complete|200");
  auto request = lastRequest();
  EXPECT_EQ(request.header("Content-Type"), "text/xml");
  EXPECT_EQ(request.header("User-Agent"), "Mine/2");
  EXPECT_EQ(request.header("Connection"), "close");
  EXPECT_EQ(request.header("X-Empty"), "");
  EXPECT_EQ(request.header("X-Odd"), std::nullopt);
  int userAgents = 0;
  for (const auto& header : request.headers) userAgents += header.first == "User-Agent";
  EXPECT_EQ(userAgents, 1);
}

TEST_F(SimplePostTest, EmptyUserAgentLeavesTheDefault) {
  EXPECT_EQ(post("/ua", std::nullopt, std::nullopt, std::nullopt, ""), "#complete|200");
  auto userAgent = lastRequest().header("User-Agent");
  ASSERT_TRUE(userAgent.has_value());
  EXPECT_NE(*userAgent, "");
}

TEST_F(SimplePostTest, ErrorStatusIsCompleteAndSavedWhole) {
  EXPECT_EQ(post("/missing?status=404", List{{"a", "1"}}, "raw"), "#complete|404");
  auto saved = responseFile();
  const std::string body = "<html><body><h1>404</h1></body></html>\n";
  EXPECT_NE(saved.find("Content-Type: text/html; charset=utf-8\n"), std::string::npos) << saved;
  ASSERT_TRUE(saved.ends_with("\n\n" + body)) << saved;
  // The head is "Name: value" lines only: no status line.
  auto head = saved.substr(0, saved.size() - body.size() - 1);
  for (std::size_t start = 0; start < head.size();) {
    auto end = head.find('\n', start);
    auto line = head.substr(start, end - start);
    EXPECT_NE(line.find(": "), std::string::npos) << line;
    EXPECT_FALSE(line.starts_with("HTTP/")) << line;
    start = end + 1;
  }
}

TEST_F(SimplePostTest, RedirectIsFollowedAndTheFinalAnswerSaved) {
  EXPECT_EQ(post("/moved?status=303&location=%2Ffinal%3Fbody%3Dtext", List{{"a", "1"}}, "raw"),
            "#complete|200");
  auto requests = server_->requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[requests.size() - 2].method, "POST");
  EXPECT_EQ(requests.back().method, "GET");
  EXPECT_EQ(requests.back().target, "/final?body=text");
  auto saved = responseFile();
  EXPECT_EQ(saved.find("Location:"), std::string::npos) << saved;
  EXPECT_TRUE(saved.ends_with("\n\nplain text, no markup\n")) << saved;
}

struct FailureCase {
  const char* name;
  std::string url;  // "REFUSED" stands for a port nobody listens on
  std::string result;
};

class TransferErrorTest : public SimplePostTest,
                          public ::testing::WithParamInterface<FailureCase> {};

TEST_P(TransferErrorTest, ReportsDomainAndCodeAndKeepsThePreviousResponseFile) {
  ASSERT_EQ(post("/before", std::nullopt, std::nullopt), "#complete|200");
  auto before = responseFile();
  std::string url = GetParam().url;
  if (url == "REFUSED") url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/";
  EXPECT_EQ(zembrel_->doSimplePostWithURL(url, "", List{{"a", "1"}}, "multipart", std::nullopt),
            GetParam().result);
  EXPECT_EQ(responseFile(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, TransferErrorTest,
    ::testing::Values(FailureCase{"ConnectionRefused", "REFUSED", "#error|POSIX|111"},
                      FailureCase{"UnresolvableName", "http://zembrel-test.invalid/",
                                  "#error|NetDB|-2"},
                      FailureCase{"MalformedUrl", "http://[::1/", "#error|Custom|3"},
                      FailureCase{"NotHttp", "file:///etc/passwd", "#error|Custom|1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimplePostTest, CookiesSetByTheServerAreStoredSentAndFoundForTheExactDomain) {
  EXPECT_EQ(post("/cookies?cookie=zc1%3Dv1&cookie=zc2%3Dv2", std::nullopt, std::nullopt),
            "#complete|200");
  EXPECT_EQ(zembrel_->getSentCookies("127.0.0.1"), "zc1=v1; zc2=v2");
  EXPECT_EQ(zembrel_->snapshot().cookieStr, "zc1=v1; zc2=v2");
  for (const char* other : {"127.0.0", ".127.0.0.1", "127.0.0.10", "localhost"}) {
    EXPECT_EQ(zembrel_->getSentCookies(std::string(other)), "") << other;
  }
  EXPECT_EQ(zembrel_->getSentCookies(std::nullopt), "");
  EXPECT_EQ(zembrel_->snapshot().cookieStr, "");

  // The store is shared: the next request, from another instance, sends them.
  auto another = Zembrel::initZembrel();
  EXPECT_EQ(another->doSimplePostWithURL(server_->url("/again"), "", std::nullopt, std::nullopt,
                                         std::nullopt),
            "#complete|200");
  // libcurl orders what it sends by its own rules.
  auto sent = lastRequest().header("Cookie").value_or("");
  EXPECT_TRUE(sent == "zc1=v1; zc2=v2" || sent == "zc2=v2; zc1=v1") << sent;
}

TEST_F(SimplePostTest, RefusedWhileAStreamedPostOfTheSameInstanceRuns) {
  ScopedTempDir dir;
  const auto file = dir.path() / "big.bin";
  writeFile(file, std::string(8 << 20, 'z'));
  // A slow reader keeps the streamed POST running while the simple one is tried.
  ASSERT_TRUE(zembrel_->doPostWithURL(server_->url("/slow?nostore=1&rate=1048576"), std::nullopt,
                                      std::vector<std::string>{"upload"}, file.string(),
                                      std::nullopt));
  EXPECT_EQ(post("/must-not-arrive", List{{"a", "1"}}, "urlencoded"), "#error|setup|nil");
  // Another instance is not affected.
  auto other = Zembrel::initZembrel();
  EXPECT_EQ(other->doSimplePostWithURL(server_->url("/other"), "", std::nullopt, std::nullopt,
                                       std::nullopt),
            "#complete|200");
  zembrel_->cancelUpload();
  for (const auto& request : server_->requests()) EXPECT_NE(request.target, "/must-not-arrive");
  EXPECT_EQ(post("/after-cancel", std::nullopt, std::nullopt), "#complete|200");
}

TEST_F(SimplePostTest, SavedAnswerParsesAsXml) {
  ASSERT_EQ(post("/xml", std::nullopt, std::nullopt), "#complete|200");
  auto path = detail::responseFilePath()->string();
  EXPECT_EQ(zembrel_->parseResponseFile(path, false), workedExampleTree());
  EXPECT_EQ(zembrel_->parseResponseFile(path, true), workedExampleFlat());
}

TEST_F(SimplePostTest, CompressedAnswerIsSavedDecoded) {
  for (const bool asked : {true, false}) {
    SCOPED_TRACE(asked ? "caller accepts gzip" : "no Accept-Encoding");
    List headers;
    if (asked) headers = List{{"Accept-Encoding", "gzip"}};
    ASSERT_EQ(post("/gz?gzip=1", std::nullopt, std::nullopt, headers), "#complete|200");
    EXPECT_EQ(lastRequest().header("Accept-Encoding"),
              asked ? std::optional<std::string>("gzip") : std::nullopt);
    EXPECT_EQ(zembrel_->parseResponseFile(detail::responseFilePath()->string(), false),
              workedExampleTree());
  }
}

struct SavedFileCase {
  const char* name;
  std::optional<std::string> content;  // absent: no file
  XMLResult result;
};

class ParseResponseFileTest : public ::testing::TestWithParam<SavedFileCase> {};

TEST_P(ParseResponseFileTest, ExtractsFromTheFirstMarkupAfterTheHead) {
  ScopedTempDir dir;
  auto path = dir.path() / "response.html";
  if (GetParam().content) writeFile(path, *GetParam().content);
  EXPECT_EQ(Zembrel::initZembrel()->parseResponseFile(path.string(), false), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ParseResponseFileTest,
    ::testing::Values(
        SavedFileCase{"MissingFile", std::nullopt, entries({})},
        SavedFileCase{"NoMarkup", "Content-Type: application/json\n\n{\"a\": 1}\n", entries({})},
        SavedFileCase{"NotUtf8", "Content-Type: text/xml\n\n<a>\xFF</a>", entries({})},
        SavedFileCase{"WholeFileIsXml", "<r><s>1</s><t>2</t></r>",
                      entries({leaf("s", "1"), leaf("t", "2")})},
        SavedFileCase{"HeadThenXml", "Content-Type: text/xml\nX-A: b\n\n<r><s>1</s><t/></r>",
                      entries({leaf("s", "1"), leaf("t", "")})},
        // A "<" in a header value is not the start of the document.
        SavedFileCase{"MarkupInAHeaderValue",
                      "Link: <http://example.test/a>; rel=\"next\"\n\n<r><s>1</s><t/></r>",
                      entries({leaf("s", "1"), leaf("t", "")})},
        SavedFileCase{"StatusLineAndCrlfHead",
                      "HTTP/1.1 200 OK\r\nLink: <x>\r\n\r\n<r><s>1</s><t/></r>",
                      entries({leaf("s", "1"), leaf("t", "")})},
        SavedFileCase{"MalformedXml", "X: y\n\n<r><s></r>",
                      XMLResult("Error 76, Description: Opening and ending tag mismatch: s line 1 "
                                "and r, Line: 1, Column: 11")}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zembrel
