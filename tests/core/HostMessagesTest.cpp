// Host messages reach the registered handler unchanged, on the sending thread,
// before the send returns.

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zembrel/HostMessages.hpp"
#include "zembrel/Zembrel.hpp"

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

TEST_F(HostMessagesTest, HandlerReplacedWhileOtherThreadsSend) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> senders;
  for (int i = 0; i < 4; ++i) {
    senders.emplace_back([&] {
      while (!stop) zembrel_->sendAppleEventFTPProgress(1);
    });
  }
  std::atomic<int> second{0};
  for (int i = 0; i < 200; ++i) {
    setHostMessageHandler([&](std::string_view) { ++second; });
    setHostMessageHandler(nullptr);
  }
  setHostMessageHandler([&](std::string_view) { ++second; });
  while (second.load() == 0) std::this_thread::yield();
  stop = true;
  for (auto& sender : senders) sender.join();
  EXPECT_GT(second.load(), 0);
}

}  // namespace
}  // namespace zembrel
