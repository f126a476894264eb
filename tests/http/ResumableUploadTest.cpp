// Resumable uploads against the real tus server, through a proxy that cuts,
// stalls or drops the connections: whatever happens, the server ends up with
// the file's bytes (or a true prefix of them), progress never goes back, one
// final message comes, and the kept state lives exactly as long as it should.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "HttpTestServer.hpp"
#include "MainLoop.hpp"
#include "ResumableFixtures.hpp"
#include "ScopedEnvironment.hpp"
#include "TimeScale.hpp"
#include "zembrel/HostMessages.hpp"
#include "zembrel/Zembrel.hpp"
#include "zembrel/platform/TransferPolicy.hpp"

namespace zembrel {
namespace {

using namespace std::chrono_literals;
using test::FaultProxy;
using test::ScopedTempDir;
using test::TusServer;

constexpr std::int64_t kMiB = 1024 * 1024;
// Larger than the first bytes sent with the creation, so every upload has
// PATCH requests; odd, so no block boundary lines up with the end.
constexpr std::int64_t kFileSize = 12 * kMiB + 4321;
// Progress from here on finds the upload created (its creation body is
// 4 MiB): the kept entry must exist then.
constexpr std::int64_t kSurelyCreated = 5 * kMiB;
// The proxy forwards at this rate (bytes per second), so that the upload takes
// long enough for progress messages while it runs.
const std::string kRate = "25000000";
// An upload without a fault has no pause (a retry, a stall) in which progress
// is seen past its creation: only the 0.3 s that 7 MiB take at kRate, which a
// sanitizer run's main loop on a loaded machine may miss altogether. Its pace
// follows the run's time scale.
std::string faultlessRate() {
  return std::to_string(static_cast<long long>(25'000'000 / test::timeScale()));
}
const std::string kSlowRate = "2500000";

// Every host message, and whether the kept entry existed while the upload
// was past its creation.
class Recorder {
 public:
  explicit Recorder(std::filesystem::path stateHome) : stateHome_(std::move(stateHome)) {
    setHostMessageHandler([this](std::string_view text) { onMessage(std::string(text)); });
  }
  ~Recorder() { setHostMessageHandler(nullptr); }

  std::vector<std::int64_t> progress;
  std::vector<std::string> finals;
  bool entryWhileRunning = false;

  bool waitForFinal(std::chrono::milliseconds deadline = 30s) {
    return test::runMainContextUntil([this] { return !finals.empty(); }, deadline);
  }
  bool waitForProgress(std::int64_t bytes) {
    return test::runMainContextUntil(
        [&] { return !finals.empty() || (!progress.empty() && progress.back() >= bytes); }, 30s);
  }

 private:
  void onMessage(const std::string& text) {
    if (text.rfind("#progress|", 0) != 0) {
      finals.push_back(text);
      return;
    }
    progress.push_back(std::stoll(text.substr(10)));
    if (progress.back() >= kSurelyCreated && progress.back() < kFileSize &&
        test::keptEntries(stateHome_) == 1)
      entryWhileRunning = true;
  }

  std::filesystem::path stateHome_;
};

class ResumableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    environment_.set("XDG_STATE_HOME", state_.path().string());
    // A stall ends an attempt after 2 s instead of a minute.
    const detail::TransferLimits limits{2, std::int64_t{1} << 30};
    detail::overrideTransferLimitsForTesting(&limits);
    bytes_ = test::patternedBytes(kFileSize, 14);
    test::writeFile(file(), bytes_);
  }
  void TearDown() override { detail::overrideTransferLimitsForTesting(nullptr); }

  std::filesystem::path file() const { return files_.path() / "holiday.mp4"; }

  std::shared_ptr<Zembrel> newInstance() const {
    auto zembrel = Zembrel::initZembrel();
    zembrel->setProgressEventInterval(0.05);
    zembrel->setResumableRetryDelays({0ms, 100ms, 100ms});
    return zembrel;
  }

  static void expectMonotone(const std::vector<std::int64_t>& progress) {
    for (std::size_t i = 1; i < progress.size(); ++i)
      EXPECT_LE(progress[i - 1], progress[i]) << "progress went back at message " << i;
  }

  ScopedTempDir state_;
  ScopedTempDir files_;
  std::string bytes_;
  test::ScopedEnvironment environment_;
};

struct UploadCase {
  const char* name;
  std::vector<std::string> serverOptions;
  std::vector<std::string> proxyOptions;
  const char* expectedFinal;
  bool keptAfterwards;  // the upload can still be resumed by a later run
  // Every request goes through the proxy's rate limit, so progress is seen
  // while the upload runs.
  bool paced = true;
};

const UploadCase kCases[] = {
    {"NoCut", {}, {}, "#complete|204", false},
    // The first cut falls into the creation request, the others into appends.
    {"CutsAtSeveralOffsets", {}, {"--cut-at", "1000000,5500000,9000000"}, "#complete|204", false},
    {"Stall", {}, {"--stall-at", "7000000", "--stall-seconds", "30"}, "#complete|204", false},
    {"ServerErrorsThenSuccess", {"--fail", "PATCH:503:2"}, {}, "#complete|204", false},
    {"ClientErrorIsFinal", {"--fail", "PATCH:403:1"}, {}, "#error|HTTP|403", true},
    {"ServerGone", {}, {"--cut-at", "7000000", "--gone-after-cut"}, "#error|POSIX|111", true},
    // The draft, in appends of at most 3 MiB, one of them cut.
    {"DraftWithCut",
     {"--draft", "--max-append", "3145728"},
     {"--cut-at", "5000000"},
     "#complete|200",
     false},
    // The upload URL names another origin: it gets the file, not the caller's headers.
    {"UploadOnAnotherOrigin", {"--other-origin"}, {}, "#complete|204", false, false},
    // Appends that the server drops without an offset are failed attempts.
    {"EveryAppendDropped", {"--drop-patches"}, {}, "#error|Custom|8", true},
    // A draft server that never confirms the end: the empty closing append
    // that moves nothing is a failed attempt too.
    {"DraftNeverCompletes", {"--draft", "--never-complete"}, {}, "#error|Custom|8", true},
};

class ResumableFault : public ResumableTest, public ::testing::WithParamInterface<UploadCase> {};

TEST_P(ResumableFault, EndsWithTheFileOrATruePrefix) {
  const UploadCase& c = GetParam();
  TusServer server(c.serverOptions);
  std::vector<std::string> proxyOptions = c.proxyOptions;
  const bool faultless = c.serverOptions.empty() && c.proxyOptions.empty();
  proxyOptions.insert(proxyOptions.end(), {"--rate", faultless ? faultlessRate() : kRate});
  FaultProxy proxy(server.port(), proxyOptions);
  Recorder recorder(state_.path());
  {
    auto zembrel = newInstance();
    ASSERT_TRUE(zembrel->doResumableUploadWithURL(
        proxy.endpoint(), file().string(), std::vector<std::string>{"filename", "holiday.mp4"},
        std::vector<std::string>{"X-Trace", "t1", "Authorization", "Bearer t1"}));
  }
  ASSERT_TRUE(recorder.waitForFinal(40s));
  test::runMainContextFor(200ms);  // late messages would show up here

  ASSERT_EQ(recorder.finals.size(), 1u);
  EXPECT_EQ(recorder.finals[0], c.expectedFinal);
  expectMonotone(recorder.progress);
  if (c.paced) {
    EXPECT_TRUE(recorder.entryWhileRunning);
  }
  EXPECT_EQ(test::keptEntries(state_.path()), c.keptAfterwards ? 1 : 0);

  const auto url = server.lastUrlOf("PATCH");
  ASSERT_TRUE(url);
  const auto stored = server.stored(*url);
  ASSERT_TRUE(stored);
  if (std::string(c.expectedFinal).rfind("#complete|", 0) == 0) {
    EXPECT_EQ(test::sha256Hex(*stored), test::sha256Hex(bytes_));
    ASSERT_FALSE(recorder.progress.empty());
    EXPECT_EQ(recorder.progress.back(), kFileSize);
  } else {
    ASSERT_GT(stored->size(), 0u);
    EXPECT_EQ(test::sha256Hex(*stored), test::sha256Hex(bytes_.substr(0, stored->size())))
        << "the server holds bytes that are not the file's";
  }
  // Every request to the endpoint's origin carried the caller's headers, and
  // no request elsewhere did.
  int patches = 0;
  for (const auto& line : server.log()) {
    if (line["method"] == "PATCH") ++patches;
    if (line["method"] == "OPTIONS") continue;
    const bool endpointOrigin = line.value("port", 0) == server.port();
    EXPECT_EQ(line["headers"].value("x-trace", ""), endpointOrigin ? "t1" : "");
    EXPECT_EQ(line["headers"].value("authorization", ""), endpointOrigin ? "Bearer t1" : "");
  }
  // A round that moves nothing counts against the three retries.
  EXPECT_LE(patches, 12);
}

INSTANTIATE_TEST_SUITE_P(Faults, ResumableFault, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Upload given up midway, by the host or by a file that changed under it:
// one final message, the upload deleted on the server, nothing kept.
TEST_F(ResumableTest, GivenUpMidwayIsDeletedOnTheServer) {
  struct Case {
    const char* why;
    std::function<void(Zembrel&, const std::string& endpoint)> act;
    const char* final;
  };
  const std::vector<Case> cases = {
      {"cancelled",
       [&](Zembrel& zembrel, const std::string& endpoint) {
         // One resumable upload per instance at a time, refused without a word.
         EXPECT_FALSE(zembrel.doResumableUploadWithURL(endpoint, file().string(), {}, {}));
         zembrel.cancelResumableUpload();
       },
       "#error|Upload Cancelled|0"},
      {"file shrank",
       [&](Zembrel&, const std::string&) { std::filesystem::resize_file(file(), 8 * kMiB); },
       "#error|Custom|26"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    test::writeFile(file(), bytes_);
    TusServer server;
    // Slower than the other cases: the rest of the file (7 MiB, less what the
    // socket buffers already took) must still be unread when the test acts,
    // however late a loaded machine lets it act on the progress message.
    FaultProxy proxy(server.port(), {"--rate", kSlowRate});
    Recorder recorder(state_.path());
    auto zembrel = newInstance();
    ASSERT_TRUE(zembrel->doResumableUploadWithURL(proxy.endpoint(), file().string(), {}, {}));
    ASSERT_TRUE(recorder.waitForProgress(kSurelyCreated));
    ASSERT_TRUE(recorder.finals.empty());
    c.act(*zembrel, proxy.endpoint());
    ASSERT_TRUE(recorder.waitForFinal());
    test::runMainContextFor(200ms);
    EXPECT_EQ(recorder.finals, std::vector<std::string>{c.final});
    const auto deleted = server.lastUrlOf("DELETE");
    ASSERT_TRUE(deleted);
    EXPECT_FALSE(server.stored(*deleted));
    EXPECT_EQ(test::keptEntries(state_.path()), 0);
  }
}

// A cancel reaches only the running upload of its own instance; one that
// comes after the end reaches nothing, not even the instance's next upload.
TEST_F(ResumableTest, CancelReachesOnlyItsOwnRunningUpload) {
  const auto otherFile = files_.path() / "other.bin";
  test::writeFile(otherFile, test::patternedBytes(64 * 1024, 3));
  TusServer server;
  FaultProxy proxy(server.port(), {"--rate", kSlowRate});
  Recorder recorder(state_.path());
  auto first = newInstance();
  auto second = newInstance();
  const auto finalsAre = [&](std::vector<std::string> expected) {
    EXPECT_TRUE(
        test::runMainContextUntil([&] { return recorder.finals.size() >= expected.size(); }, 30s));
    test::runMainContextFor(200ms);
    std::vector<std::string> finals = recorder.finals;
    // The complete status depends on the request that finished the upload.
    for (auto& text : finals) {
      if (text.rfind("#complete|", 0) == 0) text = "#complete";
    }
    std::sort(finals.begin(), finals.end());
    EXPECT_EQ(finals, expected);
    recorder.finals.clear();
  };

  struct Step {
    const char* why;
    std::function<void()> act;
    std::vector<std::string> finals;  // sorted
  };
  const std::vector<Step> steps = {
      {"cancel during the other instance's upload",
       [&] {
         ASSERT_TRUE(first->doResumableUploadWithURL(proxy.endpoint(), file().string(), {}, {}));
         ASSERT_TRUE(recorder.waitForProgress(kSurelyCreated));
         ASSERT_TRUE(
             second->doResumableUploadWithURL(server.endpoint(), otherFile.string(), {}, {}));
         first->cancelResumableUpload();
       },
       {"#complete", "#error|Upload Cancelled|0"}},
      {"late cancel, then a new upload on the same instance",
       [&] {
         second->cancelResumableUpload();
         first->cancelResumableUpload();
         ASSERT_TRUE(
             second->doResumableUploadWithURL(server.endpoint(), otherFile.string(), {}, {}));
       },
       {"#complete"}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.why);
    step.act();
    finalsAre(step.finals);
  }
}

TEST_F(ResumableTest, FileChangedBetweenRunsStartsOver) {
  // Same size, other bytes: with a later modification time, or with the old
  // one kept, as cp -p, rsync -t and tar x leave it.
  for (const bool sameTime : {false, true}) {
    SCOPED_TRACE(sameTime ? "same modification time" : "later modification time");
    test::writeFile(file(), bytes_);
    // The first run ends with the upload kept for a later run.
    TusServer server({"--fail", "PATCH:403:1"});
    Recorder recorder(state_.path());
    auto zembrel = newInstance();
    ASSERT_TRUE(zembrel->doResumableUploadWithURL(server.endpoint(), file().string(), {}, {}));
    ASSERT_TRUE(recorder.waitForFinal());
    ASSERT_EQ(recorder.finals, std::vector<std::string>{"#error|HTTP|403"});
    ASSERT_EQ(test::keptEntries(state_.path()), 1);
    const auto first = server.lastUrlOf("PATCH");
    ASSERT_TRUE(first);

    const auto time = std::filesystem::last_write_time(file());
    const std::string changed = test::patternedBytes(kFileSize, 99);
    test::writeFile(file(), changed);
    std::filesystem::last_write_time(file(), sameTime ? time : time + std::chrono::seconds(5));
    recorder.finals.clear();
    recorder.progress.clear();
    ASSERT_TRUE(zembrel->doResumableUploadWithURL(server.endpoint(), file().string(), {}, {}));
    ASSERT_TRUE(recorder.waitForFinal());
    EXPECT_EQ(recorder.finals, std::vector<std::string>{"#complete|204"});

    // The old upload is gone from the server; the new one holds the new bytes.
    EXPECT_EQ(server.lastUrlOf("DELETE"), first);
    EXPECT_FALSE(server.stored(*first));
    const auto second = server.lastUrlOf("PATCH");
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_EQ(test::sha256Hex(server.stored(*second).value_or("")), test::sha256Hex(changed));
    EXPECT_EQ(test::keptEntries(state_.path()), 0);
  }
}

TEST_F(ResumableTest, NeverFollowsAnUploadUrlFromHttpsToHttp) {
  ScopedTempDir records;
  const auto pem = test::serversDir() / ".." / "http" / "data" / "self-signed.pem";
  test::ServerProcess tls({"/usr/bin/python3", (test::serversDir() / "http_server.py").string(),
                           records.path().string(), "--tls", pem.string()});
  test::HttpTestServer plain;
  test::ScopedEnvironment trust("SSL_CERT_FILE", pem.string());
  Recorder recorder(state_.path());
  auto zembrel = newInstance();
  ASSERT_TRUE(zembrel->doResumableUploadWithURL(
      "https://127.0.0.1:" + std::to_string(tls.port()) +
          "/files?status=201&location=" + plain.url("/upload"),
      file().string(), {}, std::vector<std::string>{"Authorization", "Bearer t1"}));
  ASSERT_TRUE(recorder.waitForFinal());
  EXPECT_EQ(recorder.finals, std::vector<std::string>{"#error|Custom|8"});
  test::runMainContextFor(200ms);
  EXPECT_TRUE(plain.requests().empty());
}

TEST_F(ResumableTest, SmallFileGoesWithTheCreation) {
  // tus creation-with-upload: one request; without it, creation then append.
  for (const bool offered : {true, false}) {
    SCOPED_TRACE(offered ? "offered" : "not offered");
    TusServer server(offered ? std::vector<std::string>{}
                             : std::vector<std::string>{"--without", "creation-with-upload"});
    Recorder recorder(state_.path());
    test::writeFile(file(), "tiny");
    auto zembrel = newInstance();
    ASSERT_TRUE(zembrel->doResumableUploadWithURL(server.endpoint(), file().string(), {}, {}));
    ASSERT_TRUE(recorder.waitForFinal());
    EXPECT_EQ(recorder.finals,
              std::vector<std::string>{offered ? "#complete|201" : "#complete|204"});
    std::vector<std::string> methods;
    for (const auto& line : server.log()) methods.push_back(line["method"]);
    const std::vector<std::string> expected =
        offered ? std::vector<std::string>{"OPTIONS", "POST"}
                : std::vector<std::string>{"OPTIONS", "POST", "PATCH"};
    EXPECT_EQ(methods, expected);
  }
}

TEST_F(ResumableTest, RefusesWhatCannotStart) {
  TusServer server;
  struct Refused {
    const char* why;
    std::string endpoint;
    std::string path;
    std::vector<std::string> metadata;
  };
  const std::vector<Refused> cases = {
      {"missing file", server.endpoint(), (files_.path() / "none").string(), {}},
      {"folder", server.endpoint(), files_.path().string(), {}},
      {"ftp endpoint", "ftp://127.0.0.1/files", file().string(), {}},
      {"blank in a metadata name", server.endpoint(), file().string(), {"file name", "x"}},
      {"repeated metadata name", server.endpoint(), file().string(), {"a", "1", "a", "2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    Recorder recorder(state_.path());
    auto zembrel = newInstance();
    EXPECT_FALSE(zembrel->doResumableUploadWithURL(c.endpoint, c.path, c.metadata, {}));
    EXPECT_EQ(recorder.finals, std::vector<std::string>{"#error|Setup|0"});
  }
  EXPECT_TRUE(server.log().empty());
}

}  // namespace
}  // namespace zembrel
