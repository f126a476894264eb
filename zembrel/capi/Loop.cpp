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
  // Freed from one of its own calls: the thread frees the loop once it ends.
  bool freesItself = false;

  zembrel_loop() {
    thread = std::thread([this] {
      g_main_context_push_thread_default(context.get());
      g_main_loop_run(loop);
      g_main_context_pop_thread_default(context.get());
      if (freesItself) {
        thread.detach();
        delete this;
      }
    });
  }
  zembrel_loop(const zembrel_loop&) = delete;
  zembrel_loop& operator=(const zembrel_loop&) = delete;
  ~zembrel_loop() { g_main_loop_unref(loop); }

  // Ends the thread after what was handed over before (calls queued on one
  // context run in order); operations still running deliver nothing more.
  void stop() {
    if (std::this_thread::get_id() == thread.get_id()) {
      freesItself = true;
      g_main_loop_quit(loop);
      return;
    }
    zembrel::detail::performOn(context, [this] { g_main_loop_quit(loop); });
    thread.join();
    delete this;
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

void zembrel_loop_free(zembrel_loop* loop) {
  if (loop != nullptr) guarded([&] { loop->stop(); });
}

}  // extern "C"
