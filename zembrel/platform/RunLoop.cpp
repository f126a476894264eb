#include "zembrel/platform/RunLoop.hpp"

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>

namespace zembrel::detail {
namespace {

using Callback = std::function<void()>;

gboolean fireRepeating(gpointer data) noexcept {
  try {
    (*static_cast<Callback*>(data))();
  } catch (...) {
    // The target reports its own failures; a throw must not unwind into GLib.
  }
  return G_SOURCE_CONTINUE;
}

// A call handed to another thread's context. GLib's own locks order the
// hand-over, but they are invisible to ThreadSanitizer (GLib is not
// instrumented); the release/acquire pair states that order where it can see
// it. The holder may be freed on either thread.
struct HandedCall {
  explicit HandedCall(Callback c) : call(std::move(c)) { handed.store(true, std::memory_order_release); }
  ~HandedCall() { (void)done.load(std::memory_order_acquire); }
  Callback call;
  std::atomic<bool> handed{false};
  std::atomic<bool> done{false};
};

gboolean fireOnce(gpointer data) noexcept {
  auto* handed = static_cast<HandedCall*>(data);
  (void)handed->handed.load(std::memory_order_acquire);
  try {
    handed->call();
  } catch (...) {
  }
  handed->done.store(true, std::memory_order_release);
  return G_SOURCE_REMOVE;
}

void deleteHandedCall(gpointer data) noexcept { delete static_cast<HandedCall*>(data); }

void deleteCallback(gpointer data) noexcept { delete static_cast<Callback*>(data); }

}  // namespace

MainContext MainContext::threadDefault() { return MainContext(g_main_context_ref_thread_default()); }

MainContext MainContext::mainThread() { return MainContext(g_main_context_ref(g_main_context_default())); }

MainContext MainContext::newPrivate() { return MainContext(g_main_context_new()); }

MainContext::MainContext(const MainContext& other) : context_(g_main_context_ref(other.context_)) {}

MainContext& MainContext::operator=(const MainContext& other) {
  GMainContext* next = g_main_context_ref(other.context_);
  g_main_context_unref(context_);
  context_ = next;
  return *this;
}

MainContext::~MainContext() { g_main_context_unref(context_); }

bool MainContext::iterate(bool mayBlock) const {
  return g_main_context_iteration(context_, mayBlock ? TRUE : FALSE) != FALSE;
}

RepeatingTimer::RepeatingTimer(const MainContext& context, std::chrono::duration<double> period,
                               std::function<void()> fire) {
  double ms = std::max(0.0, std::round(period.count() * 1000.0));
  source_ = g_timeout_source_new(static_cast<guint>(std::min(ms, double(G_MAXUINT))));
  g_source_set_callback(source_, &fireRepeating, new Callback(std::move(fire)), &deleteCallback);
  g_source_attach(source_, context.get());
}

RepeatingTimer::~RepeatingTimer() { invalidate(); }

void RepeatingTimer::invalidate() noexcept {
  if (!source_) return;
  // Destroying the source releases the callback (and what it holds) once any
  // dispatch of it in progress has returned.
  g_source_destroy(source_);
  g_source_unref(source_);
  source_ = nullptr;
}

template <>
void Destroy<RepeatingTimer>::operator()(RepeatingTimer* timer) const noexcept {
  delete timer;
}

Owned<RepeatingTimer> startRepeatingTimer(const MainContext& context,
                                          std::chrono::duration<double> period,
                                          std::function<void()> fire) {
  return Owned<RepeatingTimer>(new RepeatingTimer(context, period, std::move(fire)));
}

void performOn(const MainContext& context, std::function<void()> call) {
  // Read before the hand-over below: the call may free whatever holds
  // `context` as soon as it is attached, and the hand-over's release/acquire
  // pair is what orders this read before that.
  GMainContext* target = context.get();
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, &fireOnce, new HandedCall(std::move(call)), &deleteHandedCall);
  g_source_attach(source, target);
  g_source_unref(source);
}

void performOnMainThread(std::function<void()> call) {
  performOn(MainContext::mainThread(), std::move(call));
}

}  // namespace zembrel::detail
