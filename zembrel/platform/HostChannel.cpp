#include "zembrel/platform/HostChannel.hpp"

#include <condition_variable>
#include <memory>
#include <mutex>

#include "zembrel/HostMessages.hpp"

namespace zembrel {
namespace {

// One installed handler and the count of its calls running now. Sends hold it
// by shared_ptr, so it outlives a replacement while a call of it runs; the
// count lets the replacing thread wait for those calls to end.
struct Installed {
  explicit Installed(HostMessageHandler handler) : call(std::move(handler)) {}
  const HostMessageHandler call;
  int running = 0;  // guarded by gMutex
};

std::mutex gMutex;
std::condition_variable gCallEnded;
std::shared_ptr<Installed> gHandler;
// Handler calls running on this thread (nested sends included).
thread_local int tCallsOnThisThread = 0;

// Counts one call of the handler for as long as it runs.
class RunningCall {
 public:
  explicit RunningCall(std::shared_ptr<Installed> handler) : handler_(std::move(handler)) {
    ++tCallsOnThisThread;
  }
  RunningCall(const RunningCall&) = delete;
  RunningCall& operator=(const RunningCall&) = delete;
  ~RunningCall() {
    --tCallsOnThisThread;
    {
      std::lock_guard lock(gMutex);
      --handler_->running;
    }
    gCallEnded.notify_all();
  }

 private:
  std::shared_ptr<Installed> handler_;
};

}  // namespace

void setHostMessageHandler(HostMessageHandler handler) {
  std::shared_ptr<Installed> next;
  if (handler) next = std::make_shared<Installed>(std::move(handler));
  std::unique_lock lock(gMutex);
  gHandler.swap(next);
  // `next` now holds the previous handler. From inside a handler call the
  // wait could never end (that call is one of those waited for): return at
  // once; the previous handler goes when its last call ends.
  if (next && tCallsOnThisThread == 0) gCallEnded.wait(lock, [&] { return next->running == 0; });
  lock.unlock();
  // Dropped here, outside the lock: a handler's destructor may run host code.
  next.reset();
}

namespace detail {

void deliverHostMessage(std::string_view message) noexcept {
  std::shared_ptr<Installed> handler;
  {
    std::lock_guard lock(gMutex);
    if (!gHandler) return;
    handler = gHandler;
    ++handler->running;
  }
  const RunningCall call(handler);
  try {
    handler->call(message);
  } catch (...) {
    // A host that fails to take a message leaves no trace; the sender goes on.
  }
}

}  // namespace detail
}  // namespace zembrel
