// Replacing the host message handler while other threads send: a host that
// frees the old handler's data as soon as the call returns never has it used
// afterwards (AddressSanitizer and ThreadSanitizer see every use), and a
// handler that replaces itself from inside a call neither waits for itself
// nor loses its data.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "zembrel/zembrel.h"

namespace {

constexpr std::uint32_t kAlive = 0x5a5a5a5a;

// The data of one installed handler; the host frees it itself.
struct HandlerData {
  std::atomic<std::uint32_t> state{kAlive};
  std::atomic<int> calls{0};
};

std::atomic<int> gUsesOfFreedData{0};
std::atomic<int> gCalls{0};

void record(const char*, void* userData) {
  auto* data = static_cast<HandlerData*>(userData);
  // Slow enough that replacements land while calls run.
  std::this_thread::sleep_for(std::chrono::microseconds(50));
  if (data->state.load() != kAlive) ++gUsesOfFreedData;
  ++data->calls;
  ++gCalls;
}

void destroyData(void* userData) {
  auto* data = static_cast<HandlerData*>(userData);
  data->state = 0;
  delete data;
}

struct Load {
  explicit Load(zembrel_handle* instance) {
    for (int i = 0; i < 3; ++i) {
      senders.emplace_back([this, instance] {
        while (!stop.load()) zembrel_send_message(instance, "#progress|    1");
      });
    }
  }
  ~Load() {
    stop = true;
    for (auto& sender : senders) sender.join();
  }
  std::atomic<bool> stop{false};
  std::vector<std::thread> senders;
};

// Each row installs handlers one after another under three sending threads.
struct ReplacementCase {
  const char* name;
  bool withDestroyNotify;  // the library frees the data, else the host right after the call
};

class HandlerReplacement : public ::testing::TestWithParam<ReplacementCase> {};

TEST_P(HandlerReplacement, OldDataIsNeverUsedAfterTheCallReturns) {
  zembrel_handle* instance = zembrel_new();
  ASSERT_NE(instance, nullptr);
  gUsesOfFreedData = 0;
  gCalls = 0;
  {
    Load load(instance);
    HandlerData* previous = nullptr;
    for (int round = 0; round < 200; ++round) {
      auto* data = new HandlerData();
      if (GetParam().withDestroyNotify) {
        zembrel_set_message_handler_full(&record, data, &destroyData);
      } else {
        zembrel_set_message_handler(&record, data);
        if (previous != nullptr) destroyData(previous);  // the host frees it at once
        previous = data;
      }
      // Replaced only once senders use it, so replacements meet running calls.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (data->calls.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    }
    zembrel_set_message_handler(nullptr, nullptr);
    if (previous != nullptr) destroyData(previous);
  }
  EXPECT_EQ(gUsesOfFreedData.load(), 0);
  EXPECT_GT(gCalls.load(), 0) << "the senders never reached a handler";
  zembrel_unref(instance);
}

INSTANTIATE_TEST_SUITE_P(UnderLoad, HandlerReplacement,
                         ::testing::Values(ReplacementCase{"HostFreesAfterTheCall", false},
                                           ReplacementCase{"DestroyNotify", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A handler that installs its successor from inside its call: the call
// returns at once, and each handler's data is destroyed exactly once, after
// its last call.
std::atomic<int> gDestroyed{0};
std::atomic<int> gInstalled{0};

void countDestroyed(void* userData) {
  destroyData(userData);
  ++gDestroyed;
}

void replaceSelf(const char* message, void* userData) {
  record(message, userData);
  if (gInstalled.load() < 50) {
    ++gInstalled;
    zembrel_set_message_handler_full(&replaceSelf, new HandlerData(), &countDestroyed);
  }
}

TEST(HandlerReplacementFromInside, ReturnsAtOnceAndDestroysEachDataOnce) {
  zembrel_handle* instance = zembrel_new();
  ASSERT_NE(instance, nullptr);
  gUsesOfFreedData = 0;
  gDestroyed = 0;
  gInstalled = 1;
  zembrel_set_message_handler_full(&replaceSelf, new HandlerData(), &countDestroyed);
  {
    Load load(instance);
    while (gInstalled.load() < 50) std::this_thread::yield();
  }
  zembrel_set_message_handler(nullptr, nullptr);
  EXPECT_EQ(gUsesOfFreedData.load(), 0);
  EXPECT_EQ(gDestroyed.load(), gInstalled.load());
  zembrel_unref(instance);
}

}  // namespace
