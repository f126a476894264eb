// zembrel_loop: a thread that runs a private GLib main context, for hosts
// whose own event loop is not GLib's.

#include <glib.h>

#include <thread>

#include "zembrel/capi/Bridge.hpp"
#include "zembrel/platform/RunLoop.hpp"

using zembrel::capi::guarded;
using zembrel::detail::MainContext;

struct zembrel_loop {
  MainContext context = MainContext::newPrivate();
  GMainLoop* loop = g_main_loop_new(context.get(), FALSE);
  std::thread thread;

  zembrel_loop() {
    thread = std::thread([this] {
      g_main_context_push_thread_default(context.get());
      g_main_loop_run(loop);
      // What was handed over before the stop still runs.
      while (context.iterate(false)) {
      }
      g_main_context_pop_thread_default(context.get());
    });
  }
  zembrel_loop(const zembrel_loop&) = delete;
  zembrel_loop& operator=(const zembrel_loop&) = delete;
  ~zembrel_loop() {
    // Quit from the loop's own thread, after everything handed over before.
    zembrel::detail::performOn(context, [this] { g_main_loop_quit(loop); });
    thread.join();
    g_main_loop_unref(loop);
  }
};

extern "C" {

zembrel_loop* zembrel_loop_new(void) {
  return guarded<zembrel_loop*>(nullptr, [] { return new zembrel_loop(); });
}

void zembrel_loop_invoke(zembrel_loop* loop, zembrel_call_fn fn, void* user_data) {
  if (loop == nullptr || fn == nullptr) return;
  guarded([&] { zembrel::detail::performOn(loop->context, [fn, user_data] { fn(user_data); }); });
}

void zembrel_loop_free(zembrel_loop* loop) { delete loop; }

}  // extern "C"
