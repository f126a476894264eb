#pragma once

#include <chrono>
#include <functional>

#include "zembrel/detail/Owned.hpp"

typedef struct _GMainContext GMainContext;
typedef struct _GSource GSource;

namespace zembrel::detail {

// A counted reference to a GLib main context.
class MainContext {
 public:
  // The context of the calling thread: its thread-default context, or the
  // global default one when none was pushed. This is where the thread's timers
  // and streams run.
  static MainContext threadDefault();
  // The main thread's context (the global default one).
  static MainContext mainThread();
  // A new context of its own, for a thread that runs it privately.
  static MainContext newPrivate();

  MainContext(const MainContext& other);
  MainContext& operator=(const MainContext& other);
  ~MainContext();

  GMainContext* get() const { return context_; }

  // Runs one iteration; with mayBlock it waits for a source to be ready.
  // True when a source was dispatched.
  bool iterate(bool mayBlock) const;

 private:
  explicit MainContext(GMainContext* adopted) : context_(adopted) {}
  GMainContext* context_;
};

// A repeating timer attached to one main context. It owns its callback, and so
// whatever the callback captures (a timer keeps its target alive while it is
// scheduled), until it is invalidated or destroyed. The first firing comes one
// period after the start. Invalidate from any thread; an invalidated timer
// never fires again, also when invalidated from inside its own callback.
class RepeatingTimer {
 public:
  RepeatingTimer(const MainContext& context, std::chrono::duration<double> period,
                 std::function<void()> fire);
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;
  ~RepeatingTimer();

  void invalidate() noexcept;
  bool isValid() const noexcept { return source_ != nullptr; }

 private:
  GSource* source_;  // ref'd by us until invalidated
};

Owned<RepeatingTimer> startRepeatingTimer(const MainContext& context,
                                          std::chrono::duration<double> period,
                                          std::function<void()> fire);

// Queues `call` to run once on `context`, when it next iterates, from any
// thread and without waiting for it. Calls run in the order they were queued.
void performOn(const MainContext& context, std::function<void()> call);

// Queues `call` to run once on the main thread's context, when it next
// iterates, without waiting for it. Calls run in the order they were queued.
void performOnMainThread(std::function<void()> call);

}  // namespace zembrel::detail
