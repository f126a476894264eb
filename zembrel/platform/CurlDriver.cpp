#include "zembrel/platform/CurlDriver.hpp"

// The sweep below needs curl_multi_socket_all, which libcurl marks deprecated
// in favour of the socket action it cannot replace here.
#define CURL_DISABLE_DEPRECATION
#include <curl/curl.h>
#include <glib.h>

#include <algorithm>
#include <utility>

#include "zembrel/platform/RunLoop.hpp"

namespace zembrel::detail {
namespace {

// How often every socket's transfers run although nothing happened on it.
constexpr std::int64_t kSweepMicroseconds = 1000 * 1000;
// How soon they run when libcurl waits for neither a socket nor its timer.
constexpr std::int64_t kStuckSweepMicroseconds = 1000;

}  // namespace

// The one GSource that carries libcurl's descriptors and timer.
//
// GLib would block a source while it is dispatched (and so take its
// descriptors out of the context's poll and put them back), waking the
// context's poll twice on every pass: two system calls per block of a busy
// upload. The source may recurse instead, and blocks itself only when it
// really is dispatched again from inside its own dispatch (a host's handler
// that runs a nested loop on this context), where libcurl must not be entered.
struct CurlDriver::Source {
  GSource base;
  CurlDriver* owner;  // null once the driver is gone
  bool dispatching;   // inside owner->dispatch()
  bool paused;        // blocked by a nested dispatch until the outer one ends

  static GSourceFuncs funcs;

  static gboolean dispatch(GSource* source, GSourceFunc, gpointer) noexcept {
    auto* self = reinterpret_cast<Source*>(source);
    if (!self->owner) return G_SOURCE_CONTINUE;
    if (self->dispatching) {
      self->owner->pauseWatches();
      return G_SOURCE_CONTINUE;
    }
    self->dispatching = true;
    try {
      self->owner->dispatch();
    } catch (...) {
      // The owner reports through its own state; nothing may unwind into GLib.
    }
    // GLib holds the source while it is dispatched, also when the owner
    // destroyed itself (and detached the source) meanwhile.
    self->dispatching = false;
    if (self->paused && self->owner) self->owner->resumeWatches();
    return G_SOURCE_CONTINUE;
  }
};

// No prepare or check: the ready time and the descriptors decide alone.
GSourceFuncs CurlDriver::Source::funcs = {nullptr, nullptr, &CurlDriver::Source::dispatch,
                                          nullptr, nullptr, nullptr};

CurlDriver::CurlDriver(AfterPass afterPass)
    : afterPass_(std::move(afterPass)), multi_(curl_multi_init()) {
  if (!multi_) return;
  curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlDriver::onSocket);
  curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlDriver::onTimer);
  curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
}

CurlDriver::~CurlDriver() {
  // Removing handles and cleaning up report sockets gone through onSocket,
  // which only touches the map and a source that still exists here.
  for (CURL* easy : added_) curl_multi_remove_handle(multi_, easy);
  added_.clear();
  if (multi_) curl_multi_cleanup(multi_);
  multi_ = nullptr;
  detach();
}

bool CurlDriver::valid() const { return multi_ != nullptr; }

void CurlDriver::attach(const MainContext& context) {
  if (source_ && g_source_get_context(&source_->base) == context.get()) return;
  detach();
  source_ = reinterpret_cast<Source*>(g_source_new(&Source::funcs, sizeof(Source)));
  source_->owner = this;
  source_->dispatching = false;
  source_->paused = false;
  g_source_set_can_recurse(&source_->base, TRUE);
  g_source_set_name(&source_->base, "zembrel curl driver");
  readyTime_ = -1;  // a new source's
  for (auto& [fd, watch] : watched_)
    watch.tag = g_source_add_unix_fd(&source_->base, fd, static_cast<GIOCondition>(watch.condition));
  updateReadyTime();
  g_source_attach(&source_->base, context.get());
}

void CurlDriver::detach() {
  if (!source_) return;
  for (auto& [fd, watch] : watched_) watch.tag = nullptr;
  source_->owner = nullptr;
  g_source_destroy(&source_->base);
  g_source_unref(&source_->base);
  source_ = nullptr;
}

bool CurlDriver::add(CURL* easy) {
  if (!multi_ || curl_multi_add_handle(multi_, easy) != CURLM_OK) return false;
  added_.push_back(easy);
  ++running_;
  nextSweep_ = g_get_monotonic_time() + kSweepMicroseconds;
  updateReadyTime();
  return true;
}

void CurlDriver::remove(CURL* easy) {
  const auto found = std::find(added_.begin(), added_.end(), easy);
  if (found == added_.end()) return;
  added_.erase(found);
  curl_multi_remove_handle(multi_, easy);
  std::erase_if(done_, [easy](const Done& done) { return done.easy == easy; });
}

std::vector<CurlDriver::Done> CurlDriver::takeDone() { return std::exchange(done_, {}); }

void CurlDriver::wake() {
  woken_ = true;
  updateReadyTime();
}

int CurlDriver::onSocket(CURL*, int fd, int what, void* self, void*) noexcept {
  auto& driver = *static_cast<CurlDriver*>(self);
  try {
    GSource* source = driver.source_ ? &driver.source_->base : nullptr;
    auto found = driver.watched_.find(fd);
    if (what == CURL_POLL_REMOVE) {
      if (found == driver.watched_.end()) return 0;
      if (source && found->second.tag) g_source_remove_unix_fd(source, found->second.tag);
      driver.watched_.erase(found);
      return 0;
    }
    int condition = G_IO_ERR | G_IO_HUP;
    if (what & CURL_POLL_IN) condition |= G_IO_IN;
    if (what & CURL_POLL_OUT) condition |= G_IO_OUT;
    if (found == driver.watched_.end()) found = driver.watched_.emplace(fd, Watch{0, nullptr}).first;
    Watch& watch = found->second;
    // GLib wakes the context's poll for every change: only real ones count.
    const bool changed = watch.condition != condition;
    watch.condition = condition;
    if (!source) return 0;
    // While paused, a descriptor is noted but watched only once resumed.
    const auto watching = static_cast<GIOCondition>(driver.source_->paused ? 0 : condition);
    if (watch.tag) {
      if (changed) g_source_modify_unix_fd(source, watch.tag, watching);
    } else {
      watch.tag = g_source_add_unix_fd(source, fd, watching);
    }
  } catch (...) {
    return -1;
  }
  return 0;
}

int CurlDriver::onTimer(CURLM*, long timeoutMs, void* self) noexcept {
  auto& driver = *static_cast<CurlDriver*>(self);
  // Only note the deadline: libcurl may not be called from its own callback.
  driver.deadline_ = timeoutMs < 0 ? -1 : g_get_monotonic_time() + std::int64_t{timeoutMs} * 1000;
  driver.updateReadyTime();
  return 0;
}

void CurlDriver::pauseWatches() {
  GSource* source = &source_->base;
  source_->paused = true;
  for (auto& [fd, watch] : watched_) {
    if (watch.tag) g_source_modify_unix_fd(source, watch.tag, static_cast<GIOCondition>(0));
  }
  readyTime_ = -1;
  g_source_set_ready_time(source, -1);
}

void CurlDriver::resumeWatches() {
  GSource* source = &source_->base;
  source_->paused = false;
  for (auto& [fd, watch] : watched_) {
    if (watch.tag)
      g_source_modify_unix_fd(source, watch.tag, static_cast<GIOCondition>(watch.condition));
  }
  updateReadyTime();
}

void CurlDriver::updateReadyTime() {
  if (!source_ || source_->paused) return;
  std::int64_t ready = deadline_;
  if (running_ > 0 && (ready < 0 || nextSweep_ < ready)) ready = nextSweep_;
  if (woken_) ready = 0;
  // Setting it wakes the context's poll (a write and a read of its eventfd),
  // even to the same value: libcurl asks for the same timer again and again.
  if (ready == readyTime_) return;
  readyTime_ = ready;
  g_source_set_ready_time(&source_->base, ready);
}

void CurlDriver::dispatch() {
  std::weak_ptr<int> alive = lifetime_;
  const bool woken = std::exchange(woken_, false);
  performActions();
  if (woken) {
    // A resumed transfer needs a prompt pass: libcurl 7.88 does not always
    // ask for one and would look at its socket again only at its next timer.
    curl_multi_socket_action(multi_, CURL_SOCKET_TIMEOUT, 0, &running_);
  }
  collectDone();
  if (afterPass_) afterPass_();
  if (alive.expired()) return;  // the owner destroyed the driver
  updateReadyTime();
}

void CurlDriver::performActions() {
  GSource* source = &source_->base;
  // Read every descriptor's state first: acting on one may change the set.
  std::vector<std::pair<int, int>> ready;
  for (const auto& [fd, watch] : watched_) {
    if (!watch.tag) continue;
    const GIOCondition condition = g_source_query_unix_fd(source, watch.tag);
    int mask = 0;
    if (condition & (G_IO_IN | G_IO_HUP)) mask |= CURL_CSELECT_IN;
    if (condition & G_IO_OUT) mask |= CURL_CSELECT_OUT;
    if (condition & (G_IO_ERR | G_IO_NVAL)) mask |= CURL_CSELECT_ERR;
    if (mask) ready.emplace_back(fd, mask);
  }
  for (const auto& [fd, mask] : ready) curl_multi_socket_action(multi_, fd, mask, &running_);
  const std::int64_t now = g_source_get_time(source);
  if (deadline_ >= 0 && now >= deadline_) {
    deadline_ = -1;
    curl_multi_socket_action(multi_, CURL_SOCKET_TIMEOUT, 0, &running_);
  }
  if (running_ > 0 && now >= nextSweep_) {
    // libcurl 7.88 sets no timer for some waits of its own (an FTP reply
    // that the server owes) and sometimes leaves a transfer with neither a
    // socket nor a timer (an FTP data connection about to be opened on a
    // reused control connection): it would notice their time-outs, or go
    // on, only when it runs. Every transfer runs once a second, as in a poll
    // loop, and at once when nothing else could wake it.
    curl_multi_socket_all(multi_, &running_);
  }
  if (running_ > 0) {
    // Moved only once passed (or when stuck): a deadline moved on every pass
    // would reset the source's ready time, and so wake the context's poll,
    // on every pass of a busy upload.
    const bool stuck = watched_.empty() && deadline_ < 0;
    if (stuck) {
      nextSweep_ = now + kStuckSweepMicroseconds;
    } else if (now >= nextSweep_) {
      nextSweep_ = now + kSweepMicroseconds;
    }
  }
}

void CurlDriver::collectDone() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg == CURLMSG_DONE) done_.push_back(Done{message->easy_handle, message->data.result});
  }
}

namespace {

gboolean keepPolling(gpointer) noexcept { return G_SOURCE_CONTINUE; }

// Wakes the private context at least every 250 ms, so a give-up request from
// another thread is seen although libcurl has nothing to do.
constexpr guint kGiveUpPollMs = 250;

// The context the calling thread runs as its default meanwhile.
class ThreadDefault {
 public:
  explicit ThreadDefault(GMainContext* context) : context_(context) {
    g_main_context_push_thread_default(context_);
  }
  ThreadDefault(const ThreadDefault&) = delete;
  ThreadDefault& operator=(const ThreadDefault&) = delete;
  ~ThreadDefault() { g_main_context_pop_thread_default(context_); }

 private:
  GMainContext* context_;
};

}  // namespace

// The driver's own main context for synchronous runs, with its ticker. Kept
// from one transfer to the next with the driver's source attached, so that
// each run does not make a context (and its wakeup descriptor) and sources
// anew: a tree walk runs hundreds of transfers.
struct CurlDriver::PrivateLoop {
  GMainContext* context = g_main_context_new();
  GSource* ticker = g_timeout_source_new(kGiveUpPollMs);

  PrivateLoop() {
    g_source_set_callback(ticker, &keepPolling, nullptr, nullptr);
    g_source_attach(ticker, context);
  }
  PrivateLoop(const PrivateLoop&) = delete;
  PrivateLoop& operator=(const PrivateLoop&) = delete;
  ~PrivateLoop() {
    g_source_destroy(ticker);
    g_source_unref(ticker);
    g_main_context_unref(context);
  }
};

int runTransfer(CurlDriver& driver, CURL* easy, const std::function<bool()>& giveUp,
                const std::function<void(int result)>& whenEnded) {
  if (!driver.valid()) return CURLE_FAILED_INIT;
  if (!driver.privateLoop_) driver.privateLoop_ = std::make_unique<CurlDriver::PrivateLoop>();
  GMainContext* context = driver.privateLoop_->context;
  // The thread's default meanwhile: nothing else of the thread runs, and the
  // thread's own context is never iterated from inside a call.
  ThreadDefault pushed(context);
  driver.attach(MainContext::threadDefault());
  int result = CURLE_FAILED_INIT;
  bool finished = false;
  if (driver.add(easy)) {
    while (!finished) {
      if (giveUp && giveUp()) {
        result = CURLE_ABORTED_BY_CALLBACK;
        break;
      }
      g_main_context_iteration(context, TRUE);
      for (const CurlDriver::Done& done : driver.takeDone()) {
        if (done.easy != easy) continue;
        result = done.result;
        finished = true;
      }
    }
    if (whenEnded) whenEnded(result);
    driver.remove(easy);
  }
  return result;
}

int runTransfer(CURL* easy, const std::function<bool()>& giveUp) {
  CurlDriver driver;
  return runTransfer(driver, easy, giveUp);
}

}  // namespace zembrel::detail
