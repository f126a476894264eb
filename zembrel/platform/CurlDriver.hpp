#pragma once

// The one way the library drives libcurl: its multi interface on a GLib main
// context. libcurl's sockets and its timer become one GSource attached to the
// context given; libcurl runs whenever that context iterates on its thread.
// A synchronous call runs the same driver on a private context of its own
// (runTransfer below), so every transfer, blocking or not, takes one path.

#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

typedef void CURL;
typedef void CURLM;

namespace zembrel::detail {

class MainContext;

class CurlDriver {
 public:
  // A transfer that ended, with libcurl's result (a CURLcode).
  struct Done {
    CURL* easy;
    int result;
  };
  // Called on the context's thread after every pass in which libcurl ran
  // (ready sockets, its timer, or wake()); it may destroy the driver.
  using AfterPass = std::function<void()>;

  explicit CurlDriver(AfterPass afterPass = {});
  CurlDriver(const CurlDriver&) = delete;
  CurlDriver& operator=(const CurlDriver&) = delete;
  // Detaches; transfers still added are removed first.
  ~CurlDriver();

  // False when libcurl could not make its multi handle: nothing can run.
  bool valid() const;

  // libcurl runs on `context` from now on, until detach(). The driver keeps
  // what libcurl asked it to watch across detach and attach, so the multi
  // handle (and its cache of connections) can move from one context, or
  // thread, to the next between transfers; one thread at a time.
  void attach(const MainContext& context);
  void detach();

  // Starts the transfer at the context's next iteration; false when libcurl
  // refuses it. The handle must stay alive until it is done or removed.
  bool add(CURL* easy);
  // Stops a transfer (done or not); harmless for one not added.
  void remove(CURL* easy);
  // Transfers that ended since the last call, in the order they ended.
  std::vector<Done> takeDone();

  // Runs a pass at the context's next iteration, whether or not libcurl waits
  // for something: after a paused transfer resumes, or for the owner's own
  // pending work (it runs in AfterPass).
  void wake();

 private:
  struct Source;
  struct Watch {
    int condition;  // GIOCondition
    void* tag;      // on the attached source; null while detached
  };
  static int onSocket(CURL*, int fd, int what, void* self, void*) noexcept;
  static int onTimer(CURLM*, long timeoutMs, void* self) noexcept;
  void dispatch();
  // Blocks the source while it is dispatched from inside its own dispatch;
  // resumes it when the outer dispatch ends.
  void pauseWatches();
  void resumeWatches();
  void performActions();
  void collectDone();
  void updateReadyTime();

  AfterPass afterPass_;
  CURLM* multi_;
  Source* source_ = nullptr;  // ref'd by us; attached while attached()
  std::unordered_map<int, Watch> watched_;
  std::vector<CURL*> added_;
  std::vector<Done> done_;
  long long readyTime_ = -1;  // the attached source's, as last set; -1 none
  long long deadline_ = -1;  // monotonic microseconds libcurl wants its timer at; -1 none
  long long nextSweep_ = 0;  // when every transfer runs next, while any runs
  int running_ = 0;          // transfers libcurl still runs, as it last said
  bool woken_ = false;
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);  // watched by dispatch
  struct PrivateLoop;
  std::unique_ptr<PrivateLoop> privateLoop_;  // runTransfer's; goes after detach()
  friend int runTransfer(CurlDriver&, CURL*, const std::function<bool()>&,
                         const std::function<void(int)>&);
};

// Runs one transfer to its end on `driver`, on a main context of the
// driver's own that is the calling thread's default meanwhile (so nothing
// else of the thread runs, and the thread's own context is never iterated
// from inside a call). The driver stays attached to that context afterwards,
// ready for its next synchronous transfer, from this thread or another.
// `giveUp`, when set, is asked at least every 250 ms; when it says so the
// transfer is removed unfinished. Returns libcurl's result,
// or CURLE_ABORTED_BY_CALLBACK when given up, CURLE_FAILED_INIT when the
// driver cannot run it. The driver's multi handle keeps the connection for
// the next transfer. `whenEnded`, when set, gets the result while the handle
// is still in the driver: the moment to act on its connection (libcurl may
// say goodbye on it when the handle leaves).
int runTransfer(CurlDriver& driver, CURL* easy, const std::function<bool()>& giveUp = {},
                const std::function<void(int result)>& whenEnded = {});

// As above with a driver of its own: one request, synchronously.
int runTransfer(CURL* easy, const std::function<bool()>& giveUp = {});

}  // namespace zembrel::detail
