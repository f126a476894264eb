#include "MainLoop.hpp"

#include <glib.h>

#include "TimeScale.hpp"

namespace zembrel::test {
namespace {

gboolean wakeUp(gpointer) { return G_SOURCE_CONTINUE; }

}  // namespace

bool runMainContextUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
  GMainContext* context = g_main_context_default();
  // A short ticker bounds each blocking iteration so the deadline is honoured.
  GSource* ticker = g_timeout_source_new(20);
  g_source_set_callback(ticker, &wakeUp, nullptr, nullptr);
  g_source_attach(ticker, context);
  // A deadline only ends a wait that failed: it is stretched by the run's time
  // scale, so a slow machine does not turn a late event into a failure.
  auto until = std::chrono::steady_clock::now() + scaled(deadline);
  bool held = done();
  while (!held && std::chrono::steady_clock::now() < until) {
    g_main_context_iteration(context, TRUE);
    held = done();
  }
  g_source_destroy(ticker);
  g_source_unref(ticker);
  return held;
}

void runMainContextFor(std::chrono::milliseconds duration) {
  auto until = std::chrono::steady_clock::now() + duration;
  runMainContextUntil([&] { return std::chrono::steady_clock::now() >= until; },
                      duration + std::chrono::seconds(1));
}

void drainMainContext() {
  while (g_main_context_iteration(g_main_context_default(), FALSE)) {
  }
}

}  // namespace zembrel::test
