// The streamed POST against the test HTTP server on 127.0.0.1: what arrives
// there byte for byte, and the host messages the upload sends.

#include <dirent.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "HttpTestServer.hpp"
#include "MainLoop.hpp"
#include "ScopedEnvironment.hpp"
#include "zembrel/HostMessages.hpp"
#include "zembrel/Zembrel.hpp"
#include "zembrel/http/FormEncoding.hpp"
#include "zembrel/platform/TempDir.hpp"

namespace zembrel {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using test::HttpTestServer;
using test::RecordedRequest;
using test::ScopedTempDir;

constexpr std::int64_t kMiB = 1024 * 1024;

struct Message {
  std::string text;
  std::chrono::steady_clock::time_point at;
};

bool isFinal(const std::string& text) {
  return text.rfind("#complete|", 0) == 0 || text.rfind("#error|", 0) == 0;
}

std::string progressText(std::int64_t bytes) {
  char text[48];
  std::snprintf(text, sizeof text, "#progress|%5" PRId64, bytes);
  return text;
}

std::int64_t progressValue(const std::string& text) {
  return std::strtoll(text.c_str() + 10, nullptr, 10);
}

std::string hexOf(const unsigned char* bytes, unsigned int length) {
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    hex += pair;
  }
  return hex;
}

// Bytes that differ all along the file, so a lost, doubled or shifted block
// changes the hash.
std::string patternBytes(std::int64_t size, std::uint64_t seed) {
  std::string bytes(static_cast<std::size_t>(size), '\0');
  std::uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  for (std::size_t i = 0; i + 8 <= bytes.size(); i += 8) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    std::memcpy(&bytes[i], &state, 8);
  }
  for (std::size_t i = bytes.size() & ~std::size_t{7}; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(i);
  return bytes;
}

std::set<std::string> folderEntries(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.insert(entry.path().filename());
  return names;
}

std::size_t openDescriptorCount() {
  return static_cast<std::size_t>(std::distance(
      std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

class StreamedPost : public ::testing::Test {
 protected:
  // The response file lives in the run's private TMPDIR (TestMain.cpp).
  static void SetUpTestSuite() { server_ = new HttpTestServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    setHostMessageHandler([this](std::string_view text) {
      messages_.push_back({std::string(text), std::chrono::steady_clock::now()});
    });
    zembrel_ = Zembrel::initZembrel();
    zembrel_->setProgressEventInterval(0.25);
    requestsBefore_ = server_->requests().size();
  }
  void TearDown() override {
    if (zembrel_) zembrel_->cancelUpload();
    setHostMessageHandler(nullptr);
  }

  std::string url(const std::string& pathAndQuery) const { return server_->url(pathAndQuery); }

  std::filesystem::path makeFile(const std::string& name, const std::string& bytes) {
    auto path = files_.path() / name;
    test::writeFile(path, bytes);
    return path;
  }

  std::size_t finalCount() const {
    return static_cast<std::size_t>(std::count_if(
        messages_.begin(), messages_.end(), [](const Message& m) { return isFinal(m.text); }));
  }

  // Runs the main context until the final message; returns it.
  std::string waitForFinal(std::chrono::milliseconds deadline = 30s) {
    EXPECT_TRUE(test::runMainContextUntil([this] { return finalCount() > 0; }, deadline))
        << "no final message";
    return finalCount() > 0 ? messages_.back().text : std::string();
  }

  // Waits until no upload of the instance holds it any more (its timers and
  // stream are gone), then dispatches whatever is left: a message that was
  // to follow the final one is among messages_ now.
  void settle() { EXPECT_TRUE(test::settle(zembrel_)) << "the upload still holds the instance"; }

  // The request this test made.
  RecordedRequest lastRequest() const {
    auto requests = server_->waitForRequests(requestsBefore_ + 1);
    EXPECT_GT(requests.size(), requestsBefore_);
    return requests.empty() ? RecordedRequest() : requests.back();
  }

  Strings progressMessages() const {
    Strings texts;
    for (const auto& m : messages_) {
      if (m.text.rfind("#progress|", 0) == 0) texts.push_back(m.text);
    }
    return texts;
  }

  // Checks the messages of an upload with a file: progress only, in the
  // specified format, never decreasing, then exactly one final message.
  void expectHonestProgressThenOneFinal() const {
    ASSERT_FALSE(messages_.empty());
    EXPECT_EQ(finalCount(), 1u);
    EXPECT_TRUE(isFinal(messages_.back().text));
    std::int64_t previous = 0;
    for (std::size_t i = 0; i + 1 < messages_.size(); ++i) {
      const std::string& text = messages_[i].text;
      ASSERT_EQ(text.rfind("#progress|", 0), 0u) << text;
      const std::int64_t value = progressValue(text);
      EXPECT_EQ(text, progressText(value));
      EXPECT_GE(value, previous) << "progress went backwards at message " << i;
      previous = value;
    }
  }

  static HttpTestServer* server_;
  ScopedTempDir files_;
  std::shared_ptr<Zembrel> zembrel_;
  std::vector<Message> messages_;
  std::size_t requestsBefore_ = 0;
};

HttpTestServer* StreamedPost::server_ = nullptr;

// ---- Bodies as they arrive.

struct BodyCase {
  std::string name;
  std::optional<Strings> fields;
  std::optional<std::string> fileName;  // a file with `fileBytes` is made under this name
  std::string fileBytes;
  std::optional<Strings> headers;
  std::string expectedBody;
  std::string expectedType;
};

std::string fieldPart(const std::string& name, const std::string& value) {
  return "--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value +
         "\r\n";
}

std::string filePart(const std::string& part, const std::string& file, const std::string& type,
                     const std::string& bytes) {
  return "--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"" + part + "\"; filename=\"" +
         file + "\"\r\nContent-Type: " + type + "\r\nContent-Transfer-Encoding: binary\r\n\r\n" +
         bytes + "\r\n--{BOUNDARY}--\r\n";
}

const std::string kMultipart = "multipart/form-data; boundary={BOUNDARY}";
const std::string kUrlEncoded = "application/x-www-form-urlencoded";

std::vector<BodyCase> bodyCases() {
  const std::string binary("\0\x01\xff\r\n--0xKhTmLbOuNdArY--\r\n", 27);
  return {
      {"FileAloneIs233Bytes",
       {},
       "a.txt",
       "hello",
       {},
       filePart("", "a.txt", "text/plain", "hello"),
       kMultipart},
      {"OddFieldsNameTheFilePart",
       Strings{"title", "Hi", "upload"},
       "a.txt",
       "hello",
       {},
       fieldPart("title", "Hi") + filePart("upload", "a.txt", "text/plain", "hello"),
       kMultipart},
      {"FieldValueCannotForgeAPart",
       Strings{"a", "1\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"forged\"",
               "upload"},
       "a.txt",
       "hello",
       {},
       fieldPart("a", "1\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"forged\"") +
           filePart("upload", "a.txt", "text/plain", "hello"),
       kMultipart},
      {"EvenFieldsLeaveThePartNameEmpty",
       Strings{"title", "Hi", "x", ""},
       "data.bin",
       binary,
       {},
       fieldPart("title", "Hi") + fieldPart("x", "") +
           filePart("", "data.bin", "application/octet-stream", binary),
       kMultipart},
      {"NonAsciiNamesValuesAndFileName",
       Strings{"n\xc3\xa4me", "v\xc3\xa4lue \xe2\x9c\x93", "d\xc3\xa4tei"},
       "r\xc3\xa9sum\xc3\xa9.txt",
       "\xc3\xa9t\xc3\xa9",
       {},
       fieldPart("n\xc3\xa4me", "v\xc3\xa4lue \xe2\x9c\x93") +
           filePart("d\xc3\xa4tei", "r\xc3\xa9sum\xc3\xa9.txt", "text/plain", "\xc3\xa9t\xc3\xa9"),
       kMultipart},
      {"QuotesAndLineBreaksCannotForgeHeaders",
       Strings{"a\"b\r\nX-Evil: 1", "v", "p\"art"},
       "q\"uote.txt",
       "x",
       {},
       fieldPart("a%22b%0D%0AX-Evil: 1", "v") +
           filePart("p%22art", "q%22uote.txt", "text/plain", "x"),
       kMultipart},
      {"CallerContentTypeSendsTheFileAlone", Strings{"ignored", "field"}, "pic.png", binary,
       Strings{"Content-Type", "image/png", "X-Extra", "1"}, binary, "image/png"},
      {"LowerCaseContentTypeKeepsMultipart",
       {},
       "a.txt",
       "hello",
       Strings{"content-type", "text/x-mine"},
       filePart("", "a.txt", "text/plain", "hello"),
       "text/x-mine"},
      {"CallerContentTypeWithoutFileSendsNoBody",
       Strings{"a", "1"},
       {},
       "",
       Strings{"Content-Type", "text/plain"},
       "",
       "text/plain"},
      {"UrlEncodedFieldsKeepTheirMeaning",
       Strings{"a", "1 2", "b", "x&y=z+w"},
       {},
       "",
       {},
       "a=1%202&b=x%26y%3Dz%2Bw",
       kUrlEncoded},
      {"SingleElementIsANameWithoutValue", Strings{"flag"}, {}, "", {}, "flag=", kUrlEncoded},
      {"OddLastElementIsEscapedToo",
       Strings{"a", "1", "x&y"},
       {},
       "",
       {},
       "a=1&x%26y=",
       kUrlEncoded},
      {"NoFieldsNoFileIsAnEmptyForm", {}, {}, "", {}, "", kUrlEncoded},
      {"CallerContentLengthCannotLie",
       Strings{"a", "1"},
       {},
       "",
       Strings{"Content-Length", "999"},
       "a=1",
       kUrlEncoded},
  };
}

class StreamedPostBody : public StreamedPost, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(StreamedPostBody, ArrivesByteForByte) {
  const BodyCase& c = GetParam();
  std::optional<std::string> path;
  if (c.fileName) path = makeFile(*c.fileName, c.fileBytes).string();

  ASSERT_TRUE(zembrel_->doPostWithURL(url("/form"), "ZembrelTest/1.0", c.fields, path, c.headers));
  EXPECT_EQ(waitForFinal(), "#complete|200");

  const RecordedRequest request = lastRequest();
  EXPECT_EQ(request.method, "POST");
  EXPECT_TRUE(request.complete);
  const std::string expectedBody = request.withBoundary(c.expectedBody);
  EXPECT_EQ(request.body, expectedBody);
  if (c.name == "FileAloneIs233Bytes") {
    EXPECT_EQ(request.bodyLength, 169 + 2 * 32);  // the random digits on both boundary lines
  }
  EXPECT_EQ(request.header("Content-Type"), request.withBoundary(c.expectedType));
  if (const std::string boundary = request.boundary(); !boundary.empty()) {
    // Whatever the fields and the file hold, only the real part lines hold
    // the boundary: one per field pair, one for the file, the closing one.
    std::size_t lines = 0;
    for (auto at = request.body.find(boundary); at != std::string::npos;
         at = request.body.find(boundary, at + 1))
      ++lines;
    EXPECT_EQ(lines, c.fields.value_or(Strings{}).size() / 2 + 2);
  }
  EXPECT_EQ(request.header("Content-Length"), std::to_string(expectedBody.size()));
  EXPECT_EQ(request.header("User-Agent"), "ZembrelTest/1.0");
  EXPECT_EQ(request.header("Connection"), "keep-alive");
  EXPECT_FALSE(request.header("Expect"));
  if (c.headers && c.headers->size() >= 4) {
    EXPECT_EQ(request.header((*c.headers)[2]), (*c.headers)[3]);
  }
  if (!path) {
    // Without a file only the final message comes.
    EXPECT_EQ(messages_.size(), 1u);
  } else {
    expectHonestProgressThenOneFinal();
  }
  EXPECT_FALSE(zembrel_->snapshot().postInProgress);
}

INSTANTIATE_TEST_SUITE_P(Shapes, StreamedPostBody, ::testing::ValuesIn(bodyCases()),
                         [](const auto& info) { return info.param.name; });

TEST_F(StreamedPost, SymbolicLinkSendsTheWholeTarget) {
  const std::string bytes = patternBytes(100000, 7);
  auto target = makeFile("target.bin", bytes);
  auto link = files_.path() / "link.bin";
  std::filesystem::create_symlink(target, link);

  ASSERT_TRUE(zembrel_->doPostWithURL(url("/link"), {}, Strings{"f"}, link.string(), {}));
  EXPECT_EQ(waitForFinal(), "#complete|200");
  const RecordedRequest request = lastRequest();
  EXPECT_EQ(request.body,
            request.withBoundary(filePart("f", "link.bin", "application/octet-stream", bytes)));
}

TEST_F(StreamedPost, MimeTypeComesFromTheExtension) {
  EXPECT_EQ(zembrel_->MIMETypeForFile("/x/a.txt"), "text/plain");
  EXPECT_EQ(zembrel_->MIMETypeForFile("photo.PNG"), "image/png");
  // By the extension alone, as the layout promises: neither the double
  // extension nor a whole-name rule decides.
  EXPECT_EQ(zembrel_->MIMETypeForFile("/x/archive.tar.gz"), "application/gzip");
  EXPECT_EQ(zembrel_->MIMETypeForFile("/x/Makefile"), "application/octet-stream");
  EXPECT_EQ(zembrel_->MIMETypeForFile("/x.d/trailing."), "application/octet-stream");
  EXPECT_EQ(zembrel_->MIMETypeForFile("/x/unknown.zzqx"), "application/octet-stream");
  EXPECT_EQ(zembrel_->MIMETypeForFile("/x/noextension"), "application/octet-stream");
}

// ---- Large and slow uploads.

TEST_F(StreamedPost, LargeFileArrivesIntact) {
  // 200 blocks of 1 MiB, each stamped with its number, so a lost, doubled or
  // reordered block changes the hash.
  const std::int64_t blocks = 200;
  std::string block = patternBytes(kMiB, 1);
  auto path = files_.path() / "large.bin";
  {
    std::ofstream out(path, std::ios::binary);
    for (std::int64_t i = 0; i < blocks; ++i) {
      std::memcpy(block.data(), &i, sizeof i);
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }

  ASSERT_TRUE(zembrel_->doPostWithURL(url("/large?nostore=1"), {},
                                      Strings{"title", "large", "upload"}, path.string(), {}));
  EXPECT_EQ(waitForFinal(60s), "#complete|200");
  const RecordedRequest request = lastRequest();

  // The body the server should have seen, with the boundary it was sent.
  const std::string head =
      request.withBoundary(fieldPart("title", "large") +
                           "--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"upload\"; "
                           "filename=\"large.bin\"\r\nContent-Type: application/octet-stream\r\n"
                           "Content-Transfer-Encoding: binary\r\n\r\n");
  const std::string tail = request.withBoundary("\r\n--{BOUNDARY}--\r\n");
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> hash(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  EVP_DigestInit_ex(hash.get(), EVP_sha256(), nullptr);
  EVP_DigestUpdate(hash.get(), head.data(), head.size());
  for (std::int64_t i = 0; i < blocks; ++i) {
    std::memcpy(block.data(), &i, sizeof i);
    EVP_DigestUpdate(hash.get(), block.data(), block.size());
  }
  EVP_DigestUpdate(hash.get(), tail.data(), tail.size());
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  EVP_DigestFinal_ex(hash.get(), digest, &digestLength);
  const std::int64_t expectedLength =
      static_cast<std::int64_t>(head.size() + tail.size()) + blocks * kMiB;

  EXPECT_TRUE(request.complete);
  EXPECT_EQ(request.bodyLength, expectedLength);
  EXPECT_EQ(request.bodySha256, hexOf(digest, digestLength));
  EXPECT_EQ(request.header("Content-Length"), std::to_string(expectedLength));
  expectHonestProgressThenOneFinal();
}

TEST_F(StreamedPost, ProgressRisesSteadilyOnASlowServer) {
  const std::int64_t size = 24 * kMiB;
  auto path = makeFile("slow.bin", patternBytes(size, 2));

  ASSERT_TRUE(zembrel_->doPostWithURL(url("/slow?nostore=1&rate=" + std::to_string(4 * kMiB)), {},
                                      Strings{"f"}, path.string(), {}));
  EXPECT_EQ(waitForFinal(), "#complete|200");
  expectHonestProgressThenOneFinal();

  const Strings progress = progressMessages();
  // The server reads for at least 6 s: messages keep coming all along (a
  // loaded machine may delay some, so only a third of the 24 are asked for).
  ASSERT_GE(progress.size(), 8u);
  // One message per interval, never more often: a late timer makes a gap
  // longer, never shorter.
  std::vector<double> gaps;
  for (std::size_t i = 1; i + 1 < messages_.size(); ++i) {
    gaps.push_back(std::chrono::duration<double>(messages_[i].at - messages_[i - 1].at).count());
  }
  std::sort(gaps.begin(), gaps.end());
  EXPECT_GT(gaps[gaps.size() / 2], 0.2);
  // The estimate rises with what was sent and stays below the file size.
  const std::int64_t last = progressValue(progress.back());
  EXPECT_GT(last, size / 3);
  EXPECT_LE(last, size);
  EXPECT_GT(progressValue(progress[progress.size() / 2]), 0);
  EXPECT_EQ(lastRequest().bodyLength, zembrel_->snapshot().bodySize);
}

TEST_F(StreamedPost, SmallFileReportsHalfItsSizeThenTheBodySize) {
  const std::int64_t size = 4096;
  auto path = makeFile("small.bin", patternBytes(size, 3));
  // The server answers a second after reading the body, long after the first
  // rate sample found the whole file sent.
  ASSERT_TRUE(
      zembrel_->doPostWithURL(url("/small?delay=1.2"), {}, Strings{"f"}, path.string(), {}));
  EXPECT_EQ(waitForFinal(), "#complete|200");
  expectHonestProgressThenOneFinal();

  const Strings progress = progressMessages();
  ASSERT_GE(progress.size(), 3u);
  const std::int64_t bodySize = zembrel_->snapshot().bodySize;
  EXPECT_EQ(progressValue(progress.back()), bodySize);
  EXPECT_EQ(progressValue(progress[progress.size() - 2]), size / 2);
  for (std::size_t i = 0; i + 1 < progress.size(); ++i) {
    const std::int64_t value = progressValue(progress[i]);
    EXPECT_TRUE(value == 0 || value == size / 2) << progress[i];
  }
}

// ---- Outcomes.

class StreamedPostStatus : public StreamedPost, public ::testing::WithParamInterface<int> {};

TEST_P(StreamedPostStatus, AnyStatusCompletesAndLeavesTheAnswer) {
  const int status = GetParam();
  auto path = makeFile("a.txt", "hello");
  ASSERT_TRUE(zembrel_->doPostWithURL(url("/status?body=html&status=" + std::to_string(status)), {},
                                      {}, path.string(), {}));
  EXPECT_EQ(waitForFinal(), "#complete|" + std::to_string(status));

  auto responseFile = *detail::privateTempDir() / "kvRX_resp.html";
  const std::string answer = test::readFile(responseFile);
  EXPECT_EQ(answer.rfind("HTTP/1.1 " + std::to_string(status) + " ", 0), 0u) << answer;
  const std::string page = "<html><body><h1>" + std::to_string(status) + "</h1></body></html>\n";
  EXPECT_NE(answer.find("\r\nContent-Length: " + std::to_string(page.size()) + "\r\n"),
            std::string::npos);
  EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), page);
}

INSTANTIATE_TEST_SUITE_P(Codes, StreamedPostStatus, ::testing::Values(201, 404, 500));

TEST_F(StreamedPost, LargeAnswerIsGatheredWhole) {
  // Far more than one main-loop pass hands over in 2048-byte reads.
  const std::size_t size = 3 * kMiB + 7;
  ASSERT_TRUE(zembrel_->doPostWithURL(url("/big-answer?bytes=" + std::to_string(size)), {},
                                      Strings{"a", "1"}, {}, {}));
  EXPECT_EQ(waitForFinal(), "#complete|200");
  const std::string answer = test::readFile(*detail::privateTempDir() / "kvRX_resp.html");
  const std::string body = answer.substr(answer.find("\r\n\r\n") + 4);
  ASSERT_EQ(body.size(), size);
  EXPECT_EQ(body.substr(size - 17), "89012345678901234");
  EXPECT_EQ(std::count(body.begin(), body.end(), '0'), static_cast<std::ptrdiff_t>(size / 10 + 1));
}

TEST_F(StreamedPost, CompressedAnswerIsSavedDecoded) {
  const std::string xml = "<status>ok</status>";
  // Asked for by the caller: the server compresses, the saved answer is the document.
  ASSERT_TRUE(zembrel_->doPostWithURL(url("/gz?gzip=1"), {}, Strings{"a", "1"}, {},
                                      Strings{"Accept-Encoding", "gzip"}));
  EXPECT_EQ(waitForFinal(), "#complete|200");
  EXPECT_EQ(lastRequest().header("Accept-Encoding"), "gzip");
  std::string answer = test::readFile(*detail::privateTempDir() / "kvRX_resp.html");
  EXPECT_NE(answer.find(xml), std::string::npos) << answer;
  // Not asked for: the request carries no Accept-Encoding of our own.
  messages_.clear();
  ASSERT_TRUE(zembrel_->doPostWithURL(url("/plain?gzip=1"), {}, Strings{"a", "1"}, {}, {}));
  EXPECT_EQ(waitForFinal(), "#complete|200");
  EXPECT_FALSE(lastRequest().header("Accept-Encoding"));
  answer = test::readFile(*detail::privateTempDir() / "kvRX_resp.html");
  EXPECT_NE(answer.find(xml), std::string::npos) << answer;
}

struct FailureCase {
  std::string name;
  std::function<std::string()> url;
  std::string expectedPrefix;
};

class StreamedPostFailure : public StreamedPost,
                            public ::testing::WithParamInterface<FailureCase> {};

TEST_P(StreamedPostFailure, EndsInOneErrorAndNoResponseFile) {
  auto responseFile = *detail::privateTempDir() / "kvRX_resp.html";
  std::filesystem::remove(responseFile);
  auto path = makeFile("a.txt", "hello");

  ASSERT_TRUE(zembrel_->doPostWithURL(GetParam().url(), {}, {}, path.string(), {}));
  const std::string final = waitForFinal();
  EXPECT_EQ(final.rfind(GetParam().expectedPrefix, 0), 0u) << final;
  settle();
  EXPECT_EQ(finalCount(), 1u);
  EXPECT_FALSE(std::filesystem::exists(responseFile));
  EXPECT_FALSE(zembrel_->snapshot().postInProgress);
}

INSTANTIATE_TEST_SUITE_P(
    Network, StreamedPostFailure,
    ::testing::Values(
        FailureCase{"ConnectionRefused",
                    [] { return "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/x"; },
                    "#error|POSIX|111"},
        FailureCase{"UnresolvableName", [] { return std::string("http://zembrel-test.invalid/x"); },
                    "#error|NetDB|"}),
    [](const auto& info) { return info.param.name; });

TEST_F(StreamedPost, ServerDroppingTheConnectionEndsInOneError) {
  auto path = makeFile("drop.bin", patternBytes(8 * kMiB, 4));
  ASSERT_TRUE(zembrel_->doPostWithURL(url("/drop?nostore=1&close_after=1000000"), {}, {},
                                      path.string(), {}));
  const std::string final = waitForFinal();
  EXPECT_EQ(final.rfind("#error|", 0), 0u) << final;
  settle();
  expectHonestProgressThenOneFinal();
  EXPECT_FALSE(lastRequest().complete);
}

TEST_F(StreamedPost, UnreadableFileFailsBeforeSending) {
  // A folder exists but cannot be sent as a file's bytes; a named pipe without
  // a writer would block in open().
  auto folder = files_.path() / "folder.txt";
  std::filesystem::create_directory(folder);
  auto pipe = files_.path() / "pipe.txt";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  for (const auto& path : {folder, pipe}) {
    SCOPED_TRACE(path.string());
    messages_.clear();
    EXPECT_FALSE(zembrel_->doPostWithURL(url("/never"), {}, Strings{"f"}, path.string(), {}));
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text, "#error|Setup|0");
    EXPECT_FALSE(zembrel_->snapshot().postInProgress);
  }
  // A request made now is recorded after anything the refused calls sent.
  messages_.clear();
  ASSERT_TRUE(zembrel_->doPostWithURL(url("/marker"), {}, Strings{"a", "1"}, {}, {}));
  EXPECT_EQ(waitForFinal(), "#complete|200");
  const auto requests = server_->waitForRequests(requestsBefore_ + 1);
  ASSERT_EQ(requests.size(), requestsBefore_ + 1);
  EXPECT_EQ(requests.back().target, "/marker");
}

TEST_F(StreamedPost, UrlThatIsNotHttpFailsSetup) {
  EXPECT_FALSE(zembrel_->doPostWithURL("not a url", {}, Strings{"a", "1"}, {}, {}));
  EXPECT_FALSE(zembrel_->doPostWithURL("ftp://127.0.0.1/x", {}, Strings{"a", "1"}, {}, {}));
  ASSERT_EQ(messages_.size(), 2u);
  EXPECT_EQ(messages_[0].text, "#error|Setup|0");
  EXPECT_EQ(messages_[1].text, "#error|Setup|0");
}

TEST_F(StreamedPost, UntrustedCertificateIsRefusedUnlessTheEnvironmentTrustsIt) {
  // A self-signed certificate for 127.0.0.1 that no system store trusts.
  ScopedTempDir records;
  const auto pem = test::serversDir() / ".." / "http" / "data" / "self-signed.pem";
  test::ServerProcess tls({"/usr/bin/python3", (test::serversDir() / "http_server.py").string(),
                           records.path().string(), "--tls", pem.string()});
  const std::string url = "https://127.0.0.1:" + std::to_string(tls.port()) + "/secret";
  auto path = makeFile("a.txt", "hello");
  ASSERT_TRUE(zembrel_->doPostWithURL(url, {}, {}, path.string(), {}));
  EXPECT_EQ(waitForFinal(), "#error|Custom|60");  // the peer's certificate failed verification
  EXPECT_TRUE(std::filesystem::is_empty(records.path()));

  // Named as trusted the way OpenSSL and curl read it, it is accepted.
  test::ScopedEnvironment trust("SSL_CERT_FILE", pem.string());
  messages_.clear();
  ASSERT_TRUE(zembrel_->doPostWithURL(url, {}, {}, path.string(), {}));
  EXPECT_EQ(waitForFinal(), "#complete|200");
}

// ---- The file changing under the upload.

class StreamedPostFileChange : public StreamedPost,
                               public ::testing::WithParamInterface<std::int64_t> {};

TEST_P(StreamedPostFileChange, EndsInOneErrorNeverInAShortBody) {
  const std::int64_t size = 16 * kMiB;
  auto path = makeFile("changing.bin", patternBytes(size, 5));
  ASSERT_TRUE(zembrel_->doPostWithURL(url("/change?nostore=1&rate=" + std::to_string(8 * kMiB)), {},
                                      Strings{"f"}, path.string(), {}));
  // Change it once the upload is well under way, long before it is read whole.
  ASSERT_TRUE(test::runMainContextUntil([this] { return !messages_.empty(); }));
  std::filesystem::resize_file(path, static_cast<std::uintmax_t>(GetParam()));

  EXPECT_EQ(waitForFinal(), "#error|Custom|26");
  settle();
  expectHonestProgressThenOneFinal();
  EXPECT_FALSE(lastRequest().complete);
}

INSTANTIATE_TEST_SUITE_P(Sizes, StreamedPostFileChange, ::testing::Values(12 * kMiB, 17 * kMiB),
                         [](const auto& info) {
                           return info.param < 16 * kMiB ? "Truncated" : "Extended";
                         });

// ---- One upload at a time, cancel, lifetime.

TEST_F(StreamedPost, SecondCallIsRefusedAndCancelLeavesNothingBehind) {
  const std::size_t descriptorsBefore = openDescriptorCount();
  const auto tempBefore = folderEntries(*detail::privateTempDir());
  auto path = makeFile("cancel.bin", patternBytes(16 * kMiB, 6));
  ASSERT_TRUE(zembrel_->doPostWithURL(url("/cancel?nostore=1&rate=" + std::to_string(2 * kMiB)), {},
                                      Strings{"f"}, path.string(), {}));

  // A second upload is refused without a message and without disturbing the first.
  EXPECT_FALSE(zembrel_->doPostWithURL(url("/second"), {}, Strings{"a", "1"}, {}, {}));
  EXPECT_TRUE(messages_.empty());
  ASSERT_TRUE(test::runMainContextUntil([this] { return messages_.size() >= 2; }));

  zembrel_->cancelUpload();
  const auto snapshot = zembrel_->snapshot();
  EXPECT_FALSE(snapshot.postInProgress);
  EXPECT_FALSE(snapshot.hasProgressTimer);
  EXPECT_FALSE(snapshot.hasRateTimer);
  EXPECT_FALSE(snapshot.hasResponseData);
  EXPECT_TRUE(snapshot.bodyFilePath.empty());
  const std::size_t seen = messages_.size();
  settle();
  EXPECT_EQ(messages_.size(), seen) << "a message after cancel: " << messages_.back().text;
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
  EXPECT_EQ(folderEntries(*detail::privateTempDir()), tempBefore);
  zembrel_->cancelUpload();  // again: harmless

  // A new upload starts at once and runs to its end.
  ASSERT_TRUE(zembrel_->doPostWithURL(url("/after"), {}, Strings{"a", "1"}, {}, {}));
  EXPECT_EQ(waitForFinal(), "#complete|200");
  EXPECT_EQ(server_->waitForRequests(requestsBefore_ + 2).back().body, "a=1");
}

// ---- Cancel scoping: a cancel reaches only the running POST of its own
// instance, and one that comes after the end reaches nothing.

struct CancelScopeCase {
  const char* name;
  bool firstEndsBeforeCancel;  // the first instance's POST ended before the cancel
  Strings finals;              // every final message, in arrival order
};

const CancelScopeCase kCancelScopeCases[] = {
    // The first POST ends without a word; the second instance's runs on.
    {"CancelDuringTheUploadLeavesTheOtherInstance", false, {"#complete|200"}},
    // Nothing runs on the first instance when the cancel comes: its next
    // POST, and the other instance's, complete.
    {"LateCancelReachesNoLaterUpload", true, {"#complete|200", "#complete|200"}},
};

class StreamedPostCancelScope : public StreamedPost,
                                public ::testing::WithParamInterface<CancelScopeCase> {};

TEST_P(StreamedPostCancelScope, CancelReachesOnlyItsOwnRunningPost) {
  const CancelScopeCase& c = GetParam();
  auto small = makeFile("small.txt", "hello");
  auto big = makeFile("big.bin", patternBytes(8 * kMiB, 11));
  auto other = Zembrel::initZembrel();
  if (c.firstEndsBeforeCancel) {
    ASSERT_TRUE(zembrel_->doPostWithURL(url("/scope-earlier"), {}, {}, small.string(), {}));
    ASSERT_EQ(waitForFinal(), "#complete|200");
    messages_.clear();
    zembrel_->cancelUpload();
    ASSERT_TRUE(zembrel_->doPostWithURL(url("/scope-first"), {}, {}, small.string(), {}));
  } else {
    ASSERT_TRUE(zembrel_->doPostWithURL(url("/scope-first?nostore=1&rate=1048576"), {}, {},
                                        big.string(), {}));
  }
  ASSERT_TRUE(other->doPostWithURL(url("/scope-second"), {}, {}, small.string(), {}));
  if (!c.firstEndsBeforeCancel) zembrel_->cancelUpload();

  ASSERT_TRUE(test::runMainContextUntil([&] { return finalCount() >= c.finals.size(); }, 30s));
  EXPECT_TRUE(test::settle(other));
  settle();
  Strings finals;
  for (const auto& m : messages_) {
    if (isFinal(m.text)) finals.push_back(m.text);
  }
  EXPECT_EQ(finals, c.finals);
  EXPECT_FALSE(other->snapshot().postInProgress);
  EXPECT_FALSE(zembrel_->snapshot().postInProgress);
}

INSTANTIATE_TEST_SUITE_P(TwoInstances, StreamedPostCancelScope,
                         ::testing::ValuesIn(kCancelScopeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamedPost, NoTemporaryFileOutlivesAnUpload) {
  auto path = makeFile("a.bin", patternBytes(3 * kMiB, 8));
  ASSERT_TRUE(zembrel_->doPostWithURL(url("/t?nostore=1"), {}, Strings{"f"}, path.string(), {}));
  const auto during = folderEntries(*detail::privateTempDir());
  EXPECT_EQ(waitForFinal(), "#complete|200");
  auto after = folderEntries(*detail::privateTempDir());
  after.erase("kvRX_resp.html");
  EXPECT_TRUE(after.empty()) << *after.begin();
  EXPECT_EQ(during.count("kvRX_resp.html"), during.size())
      << "a body copy exists during the upload";
  EXPECT_TRUE(zembrel_->snapshot().bodyFilePath.empty());
}

TEST_F(StreamedPost, UploadKeepsItsInstanceAlive) {
  auto path = makeFile("a.txt", "hello");
  // The host drops its only reference right after starting, in both kinds of
  // upload: with timers (a file) and without.
  ASSERT_TRUE(zembrel_->doPostWithURL(url("/alive1"), {}, {}, path.string(), {}));
  zembrel_.reset();
  EXPECT_EQ(waitForFinal(), "#complete|200");
  auto other = Zembrel::initZembrel();
  ASSERT_TRUE(other->doPostWithURL(url("/alive2"), {}, Strings{"a", "1"}, {}, {}));
  std::weak_ptr<Zembrel> watch = other;
  other.reset();
  EXPECT_FALSE(watch.expired());
  ASSERT_TRUE(test::runMainContextUntil([this] { return finalCount() == 2; }));
  EXPECT_EQ(messages_.back().text, "#complete|200");
  EXPECT_TRUE(watch.expired());
}

// ---- The shared session.

TEST_F(StreamedPost, CookiesSetByOneUploadGoWithTheNext) {
  ASSERT_TRUE(
      zembrel_->doPostWithURL(url("/login?cookie=zsid=abc123"), {}, Strings{"a", "1"}, {}, {}));
  EXPECT_EQ(waitForFinal(), "#complete|200");
  messages_.clear();
  ASSERT_TRUE(zembrel_->doPostWithURL(url("/next"), {}, Strings{"a", "2"}, {}, {}));
  EXPECT_EQ(waitForFinal(), "#complete|200");
  const auto requests = server_->waitForRequests(requestsBefore_ + 2);
  ASSERT_GE(requests.size(), 2u);
  EXPECT_NE(requests.back().header("Cookie").value_or("").find("zsid=abc123"), std::string::npos);
}

TEST_F(StreamedPost, ProxyComesFromTheEnvironmentAtEachStart) {
  // The test server stands in for the proxy: it receives the absolute URL.
  bool started = false;
  {
    test::ScopedEnvironment proxy{
        {"http_proxy", url("")}, {"no_proxy", std::nullopt}, {"NO_PROXY", std::nullopt}};
    started = zembrel_->doPostWithURL("http://proxied.invalid/via", {}, Strings{"a", "1"}, {}, {});
  }
  ASSERT_TRUE(started);
  EXPECT_EQ(waitForFinal(), "#complete|200");
  EXPECT_EQ(lastRequest().target, "http://proxied.invalid/via");
}

}  // namespace
}  // namespace zembrel
