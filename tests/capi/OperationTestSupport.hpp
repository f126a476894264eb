#pragma once

// What the tests of the C operations share: a recorder of one operation's
// callbacks, and a wait that runs this thread's context.

#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "zembrel/zembrel.h"

namespace zembrel::test {

// What one operation's callbacks saw, and on which thread.
struct Seen {
  std::vector<std::int64_t> progress;
  std::int64_t total = 0;
  int doneCalls = 0;
  bool foreignThread = false;
  GThread* starter = g_thread_self();

  static void onProgress(zembrel_op*, std::int64_t done, std::int64_t total, void* data) {
    auto* seen = static_cast<Seen*>(data);
    seen->foreignThread |= g_thread_self() != seen->starter;
    seen->progress.push_back(done);
    seen->total = total;
  }
  static void onDone(zembrel_op*, void* data) {
    auto* seen = static_cast<Seen*>(data);
    seen->foreignThread |= g_thread_self() != seen->starter;
    ++seen->doneCalls;
  }
};

// Iterates this thread's context until `ended` holds or 30 s pass; a timer
// wakes the loop for the check.
template <class Predicate>
inline bool iterateUntil(Predicate ended) {
  GSource* tick = g_timeout_source_new(20);
  g_source_set_callback(
      tick, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr, nullptr);
  g_source_attach(tick, nullptr);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!ended() && std::chrono::steady_clock::now() < until) zembrel_iterate(1);
  g_source_destroy(tick);
  g_source_unref(tick);
  return ended();
}

// A 50 ms timer on this thread's context that counts its firings while it
// lives: a call that blocked the thread would hold it up.
class TimerTicks {
 public:
  TimerTicks() : source_(g_timeout_source_new(50)) {
    g_source_set_callback(
        source_, [](gpointer count) -> gboolean { return ++*static_cast<int*>(count), TRUE; },
        &ticks_, nullptr);
    g_source_attach(source_, nullptr);
  }
  TimerTicks(const TimerTicks&) = delete;
  TimerTicks& operator=(const TimerTicks&) = delete;
  ~TimerTicks() {
    g_source_destroy(source_);
    g_source_unref(source_);
  }
  int count() const { return ticks_; }

 private:
  GSource* source_;
  int ticks_ = 0;
};

// Runs the operation that `start(seen)` begins to its end; the op, or null
// when it did not start or end in time (a test failure is recorded).
template <class Start>
zembrel_op* runToEnd(Seen& seen, Start start) {
  zembrel_op* op = start(seen);
  if (op == nullptr) {
    ADD_FAILURE() << "the operation did not start";
    return nullptr;
  }
  EXPECT_EQ(seen.doneCalls, 0) << "a callback ran inside the start call";
  if (!iterateUntil([&] { return seen.doneCalls > 0; })) {
    ADD_FAILURE() << "the operation did not end";
    zembrel_op_cancel(op);
    iterateUntil([&] { return seen.doneCalls > 0; });
  }
  EXPECT_EQ(seen.doneCalls, 1);
  EXPECT_FALSE(seen.foreignThread);
  return op;
}

// Owns one reference to an op.
struct OpHold {
  zembrel_op* op;
  ~OpHold() { zembrel_op_unref(op); }
};

}  // namespace zembrel::test
