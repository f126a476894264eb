// Host messages reach the registered handler unchanged, on the sending thread,
// before the send returns.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zembrel/HostMessages.hpp"
#include "zembrel/Zembrel.hpp"
#include "zembrel/core/MessageText.hpp"

namespace zembrel {
namespace {

struct Received {
  std::string text;
  std::thread::id thread;
};

class HostMessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setHostMessageHandler([this](std::string_view message) {
      std::lock_guard lock(mutex_);
      received_.push_back({std::string(message), std::this_thread::get_id()});
    });
  }
  void TearDown() override { setHostMessageHandler(nullptr); }

  std::vector<Received> received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

  std::shared_ptr<Zembrel> zembrel_ = Zembrel::initZembrel();
  std::mutex mutex_;
  std::vector<Received> received_;
};

struct ProgressCase {
  std::uint64_t bytes;
  const char* expected;
};

class FtpProgressFormat : public HostMessagesTest,
                          public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(FtpProgressFormat, RightAlignedInFiveAndNeverCut) {
  zembrel_->sendAppleEventFTPProgress(GetParam().bytes);
  auto got = received();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, FtpProgressFormat,
    ::testing::Values(ProgressCase{0, "#progress|    0"}, ProgressCase{42, "#progress|   42"},
                      ProgressCase{99999, "#progress|99999"},
                      ProgressCase{1234567890123ull, "#progress|1234567890123"},
                      // Sent as signed 64-bit: the top bit shows as a minus sign.
                      ProgressCase{UINT64_MAX, "#progress|   -1"}));

TEST_F(HostMessagesTest, CompleteStatusRightAlignedInThree) {
  zembrel_->sendAppleEventCompleteWithStatusCode(200);
  zembrel_->sendAppleEventCompleteWithStatusCode(7);
  zembrel_->sendAppleEventCompleteWithStatusCode(1000);
  auto got = received();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].text, "#complete|200");
  EXPECT_EQ(got[1].text, "#complete|  7");
  EXPECT_EQ(got[2].text, "#complete|1000");
}

TEST_F(HostMessagesTest, ErrorTextsPassUnchanged) {
  zembrel_->sendAppleEventError("POSIX", 111);
  zembrel_->sendAppleEventError("a|b \"quoted\" \\ back", -25300);
  zembrel_->sendAppleEventError("", 0);
  auto got = received();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].text, "#error|POSIX|111");
  EXPECT_EQ(got[1].text, "#error|a|b \"quoted\" \\ back|-25300");
  EXPECT_EQ(got[2].text, "#error||0");
}

TEST_F(HostMessagesTest, DeliveredOnTheSendingThreadBeforeReturn) {
  std::thread::id worker;
  std::size_t countInsideWorker = 0;
  std::thread thread([&] {
    worker = std::this_thread::get_id();
    zembrel_->sendOpenToApplicationWithString("#progress|    1");
    countInsideWorker = received().size();  // already there: the send is synchronous
  });
  thread.join();
  auto got = received();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(countInsideWorker, 1u);
  EXPECT_EQ(got[0].thread, worker);
  EXPECT_NE(got[0].thread, std::this_thread::get_id());
}

TEST_F(HostMessagesTest, NoHandlerDropsAndAThrowingHandlerDoesNotStopTheSender) {
  setHostMessageHandler(nullptr);
  zembrel_->sendAppleEventError("dropped", 1);
  int calls = 0;
  setHostMessageHandler([&](std::string_view) {
    ++calls;
    throw std::runtime_error("host refused");
  });
  zembrel_->sendAppleEventError("first", 1);
  zembrel_->sendAppleEventError("second", 2);
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(received().empty());
}

// Handlers are replaced while other threads send. Each handler counts into a
// tally that it owns; the tally adds its count to the total when the last copy
// of its handler goes. So a handler the library called after letting it go
// shows as a use after free under the sanitizers, a message delivered twice or
// lost shows in the total, and a handler the library keeps too long shows as a
// tally still alive.
struct ReplaceUnderLoadCase {
  const char* what;
  bool removeBetween;  // installs no handler between two handlers: messages drop
  bool fromInside;     // the handlers themselves install the next one
};

class HandlerReplacedUnderLoad : public ::testing::TestWithParam<ReplaceUnderLoadCase> {
 protected:
  struct Tally {
    explicit Tally(std::atomic<long>& total) : total(total) {}
    Tally(const Tally&) = delete;
    Tally& operator=(const Tally&) = delete;
    ~Tally() { total += calls.load(); }
    std::atomic<long>& total;
    std::atomic<long> calls{0};
  };

  void TearDown() override { setHostMessageHandler(nullptr); }

  // A new counting handler; with `fromInside`, every 50th message it takes
  // installs its successor from inside the send.
  HostMessageHandler makeHandler(bool fromInside) {
    auto tally = std::make_shared<Tally>(delivered_);
    {
      std::lock_guard lock(mutex_);
      tallies_.push_back(tally);
    }
    return [this, tally, fromInside](std::string_view) {
      if (++tally->calls % 50 == 0 && fromInside && replacements_.fetch_add(1) < kReplacements) {
        setHostMessageHandler(makeHandler(true));
      }
    };
  }

  static constexpr int kReplacements = 300;
  std::atomic<long> delivered_{0};
  std::atomic<int> replacements_{0};
  std::mutex mutex_;
  std::vector<std::weak_ptr<Tally>> tallies_;
};

TEST_P(HandlerReplacedUnderLoad, EveryMessageReachesOneLiveHandler) {
  const auto param = GetParam();
  constexpr int kSenders = 4;
  constexpr long kAtLeastEach = 500;
  auto zembrel = Zembrel::initZembrel();
  setHostMessageHandler(makeHandler(param.fromInside));

  // The senders keep going until every replacement is done.
  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::vector<std::thread> senders;
  for (int i = 0; i < kSenders; ++i) {
    senders.emplace_back([&] {
      long count = 0;
      while (!stop.load() || count < kAtLeastEach) {
        zembrel->sendAppleEventFTPProgress(1);
        ++count;
      }
      sent += count;
    });
  }
  if (param.fromInside) {
    while (replacements_.load() < kReplacements) std::this_thread::yield();
  } else {
    for (int i = 0; i < kReplacements; ++i) {
      if (param.removeBetween) setHostMessageHandler(nullptr);
      setHostMessageHandler(makeHandler(false));
    }
  }
  stop = true;
  for (auto& sender : senders) sender.join();
  setHostMessageHandler(nullptr);

  std::lock_guard lock(mutex_);
  EXPECT_EQ(tallies_.size(), static_cast<std::size_t>(kReplacements) + 1);
  for (std::size_t i = 0; i < tallies_.size(); ++i) {
    EXPECT_TRUE(tallies_[i].expired()) << "handler " << i << " is still held";
  }
  if (param.removeBetween) {
    EXPECT_LE(delivered_.load(), sent.load());
    EXPECT_GT(delivered_.load(), 0);
  } else {
    EXPECT_EQ(delivered_.load(), sent.load());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ways, HandlerReplacedUnderLoad,
    ::testing::Values(ReplaceUnderLoadCase{"SwappedByAnotherThread", false, false},
                      ReplaceUnderLoadCase{"RemovedAndInstalledAgain", true, false},
                      ReplaceUnderLoadCase{"ReplacedFromInsideAHandler", false, true}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace zembrel

namespace zembrel {
namespace {

// Host messages and result texts taken apart: each row is a text and what it
// must give (absent for a malformed one).
struct ParseCase {
  const char* name;
  std::string text;
  std::optional<HostMessage> expected;
};

HostMessage parsed(HostMessage::Kind kind, std::int64_t value, std::string domain = {},
                   std::int64_t code = 0) {
  HostMessage message;
  message.kind = kind;
  message.value = value;
  message.domain = std::move(domain);
  message.code = code;
  return message;
}

using K = HostMessage::Kind;
const ParseCase kParseCases[] = {
    {"PaddedProgress", "#progress|  512", parsed(K::Progress, 512)},
    {"ProgressPast4GiB", "#progress|8589934592", parsed(K::Progress, 8589934592)},
    {"PaddedComplete", "#complete|200", parsed(K::Complete, 200)},
    {"ShortStatusPadded", "#complete|  7", parsed(K::Complete, 7)},
    {"Error", "#error|POSIX|111", parsed(K::Error, 0, "POSIX", 111)},
    {"NegativeCode", "#error|Keyring|-25300", parsed(K::Error, 0, "Keyring", -25300)},
    {"DomainWithBlanks", "#error|Upload Cancelled|0", parsed(K::Error, 0, "Upload Cancelled", 0)},
    {"EmptyDomain", "#error||5", parsed(K::Error, 0, "", 5)},
    {"BusyRefusal", "#error|setup|nil", parsed(K::Error, 0, "setup", 0)},
    {"OtherWordAsCode", "#error|Setup|nil", std::nullopt},
    {"CodeWithTrailingText", "#error|POSIX|111x", std::nullopt},
    {"NoCode", "#error|POSIX", std::nullopt},
    {"EmptyProgress", "#progress|", std::nullopt},
    {"BlanksOnly", "#complete|   ", std::nullopt},
    {"TooLarge", "#progress|99999999999999999999", std::nullopt},
    {"UnknownKind", "#done|1", std::nullopt},
    {"FtpResultIsNoMessage", "226 Transfer complete|226", std::nullopt},
};

class ParseHostMessage : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseHostMessage, TakesTheTextApart) {
  const auto got = parseHostMessage(GetParam().text);
  const auto& expected = GetParam().expected;
  ASSERT_EQ(got.has_value(), expected.has_value()) << GetParam().text;
  if (!expected) return;
  EXPECT_EQ(got->kind, expected->kind);
  EXPECT_EQ(got->value, expected->value);
  EXPECT_EQ(got->domain, expected->domain);
  EXPECT_EQ(got->code, expected->code);
}

INSTANTIATE_TEST_SUITE_P(Texts, ParseHostMessage, ::testing::ValuesIn(kParseCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Every text the library makes from an outcome reads back as that outcome.
TEST(ParseHostMessageRoundTrip, OutcomeTextsReadBack) {
  using detail::Outcome;
  const auto complete = parseHostMessage(detail::finalMessageText(Outcome::succeeded(7)));
  ASSERT_TRUE(complete);
  EXPECT_EQ(complete->value, 7);
  const auto peer = parseHostMessage(
      detail::finalMessageText(Outcome::refusedByPeer("550 No|such\r\nfile", 550)));
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->code, 550);
  const auto busy = parseHostMessage(detail::requestResultText(Outcome::busy()));
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->domain, "setup");
  const auto cancelled = parseHostMessage(detail::finalMessageText(Outcome::cancelled()));
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(cancelled->domain, "Upload Cancelled");
}

}  // namespace
}  // namespace zembrel
