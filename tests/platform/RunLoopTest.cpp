#include <gtest/gtest.h>

#include <glib.h>

#include <memory>
#include <thread>
#include <vector>

#include "MainLoop.hpp"
#include "zembrel/platform/RunLoop.hpp"

namespace zembrel::detail {
namespace {

using namespace std::chrono_literals;
using test::runMainContextUntil;

TEST(RepeatingTimer, FiresRepeatedlyAndKeepsItsTargetAliveUntilInvalidated) {
  auto target = std::make_shared<int>(0);
  std::weak_ptr<int> watch = target;
  auto timer = startRepeatingTimer(MainContext::threadDefault(), 10ms, [target] { ++*target; });
  int* counter = target.get();
  target.reset();
  EXPECT_FALSE(watch.expired()) << "the timer holds its target";
  ASSERT_TRUE(runMainContextUntil([&] { return *counter >= 3; }, 5s));
  timer->invalidate();
  EXPECT_TRUE(watch.expired()) << "invalidation releases the target";
}

TEST(RepeatingTimer, FirstFiringComesOnePeriodAfterTheStart) {
  int fired = 0;
  auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration firstAt{};
  auto timer = startRepeatingTimer(MainContext::threadDefault(), 150ms, [&] {
    if (fired++ == 0) firstAt = std::chrono::steady_clock::now() - start;
  });
  ASSERT_TRUE(runMainContextUntil([&] { return fired >= 1; }, 5s));
  EXPECT_GE(firstAt, 140ms);
}

TEST(RepeatingTimer, InvalidatedFromInsideItsCallbackNeverFiresAgain) {
  int fired = 0;
  Owned<RepeatingTimer> timer;
  timer = startRepeatingTimer(MainContext::threadDefault(), 5ms, [&] {
    ++fired;
    timer->invalidate();
  });
  test::runMainContextFor(100ms);
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(timer->isValid());
}

TEST(RepeatingTimer, RunsOnTheContextOfTheThreadThatStartedIt) {
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  int fired = 0;
  auto timer = startRepeatingTimer(MainContext::threadDefault(), 5ms, [&] { ++fired; });
  // The global default context does not drive it.
  test::runMainContextFor(60ms);
  EXPECT_EQ(fired, 0);
  auto until = std::chrono::steady_clock::now() + 5s;
  while (fired == 0 && std::chrono::steady_clock::now() < until) g_main_context_iteration(context, TRUE);
  EXPECT_GT(fired, 0);
  timer.reset();
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
}

TEST(PerformOnMainThread, RunsOnlyWhenTheMainContextIteratesInOrder) {
  std::vector<int> order;
  std::thread worker([&] {
    for (int i = 0; i < 5; ++i) performOnMainThread([&order, i] { order.push_back(i); });
  });
  worker.join();
  EXPECT_TRUE(order.empty()) << "nothing runs before the main context iterates";
  ASSERT_TRUE(runMainContextUntil([&] { return order.size() == 5; }, 5s));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

}  // namespace
}  // namespace zembrel::detail
