#pragma once

// The object behind `zembrel_op *`: what the host reads of one operation, and
// the hand-over of its events to the context of the thread that started it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "zembrel/capi/Bridge.hpp"
#include "zembrel/core/Outcome.hpp"
#include "zembrel/platform/RunLoop.hpp"

namespace zembrel::capi {

// What an operation leaves besides its outcome.
struct OperationExtras {
  std::optional<std::string> location;    // a resumable upload's URL
  std::optional<std::string> resultJson;  // a listing
  // A simple request's answer: its head ("Name: value\n" per header, as
  // received) and its body, decoded.
  std::optional<std::string> responseHead;
  std::optional<std::string> responseBody;
  // A directory command's last reply (or what stands for one).
  std::optional<int> replyCode;
  std::optional<std::string> replyText;
  // A keyring lookup's item; the password is wiped when the op goes.
  std::optional<std::string> password;
  std::optional<std::string> account;
};

}  // namespace zembrel::capi

struct zembrel_op {
  zembrel_op(zembrel_progress_fn progress, zembrel_done_fn done, void* userData);
  zembrel_op(const zembrel_op&) = delete;
  zembrel_op& operator=(const zembrel_op&) = delete;
  ~zembrel_op();

  // From any thread. Progress is handed to the starting context, the latest
  // figures only (a slow host skips steps, never sees them go back), and no
  // more often than the interval; figures held back by it reach the host
  // before the outcome.
  void reportProgress(std::int64_t done, std::int64_t total);
  // Seconds between progress hand-overs, for operations whose transfer
  // reports every step; 0 (the default) hands each over. Before the start.
  void setProgressInterval(double seconds) {
    progressInterval_ = std::chrono::duration<double>(seconds);
  }
  // From any thread, once; later calls are ignored. The outcome reaches the
  // host on the starting context, after any progress handed over before it,
  // and then the operation's own reference is dropped.
  void finish(const zembrel::detail::Outcome& outcome, zembrel::capi::OperationExtras extras = {});
  // Runs `cancel` (from any thread) unless the operation has ended; installed
  // by the start function once the operation runs.
  void setCancel(std::function<void()> cancel);
  void cancel();

  void ref() noexcept { references.fetch_add(1, std::memory_order_relaxed); }
  void unref() noexcept;

  // Read by the accessors; written once on the starting context before
  // `status` leaves 0 (release), so a reader that saw the status sees them.
  std::atomic<int> status{0};
  int httpStatus = 0;
  std::string errorDomain;
  std::int64_t errorCode = 0;
  std::string errorMessage;
  std::string message;
  zembrel::capi::OperationExtras extras;

 private:
  void deliverProgress();
  void queueProgress();
  void deliverOutcome(const zembrel::detail::Outcome& outcome);

  std::atomic<std::size_t> references{2};  // the caller's and the running operation's
  zembrel::detail::MainContext context_;
  zembrel_progress_fn progress_;
  zembrel_done_fn done_;
  void* userData_;

  std::mutex lock_;  // guards what follows
  std::function<void()> cancel_;
  bool finishing_ = false;
  bool progressQueued_ = false;
  bool progressHeldBack_ = false;  // newer figures than the last queued wait for the interval
  std::chrono::duration<double> progressInterval_{0};
  std::chrono::steady_clock::time_point lastQueued_{};
  std::int64_t pendingDone_ = 0;
  std::int64_t pendingTotal_ = -1;
  std::int64_t deliveredDone_ = -1;  // the starting context's thread only
};

namespace zembrel::capi {

// A failed outcome as hosts of the operation interface see it (see the
// domains in zembrel.h): chosen by how the operation ended, never by its text.
struct PublicError {
  std::string domain;
  std::int64_t code;
  std::string message;  // in words
};
PublicError publicError(const detail::Outcome& outcome);

// Whether the calling thread may start an operation: it has a thread-default
// context of its own, or no other thread is running the global default one
// (whose callbacks would then run on that other thread, at once).
bool threadMayStartOperations();

// The start rule of every operation: NULL when this thread may not start one
// (see threadMayStartOperations), and never an exception into C.
template <class Start>
zembrel_op* startChecked(Start start) noexcept {
  return guarded<zembrel_op*>(nullptr, [&]() -> zembrel_op* {
    if (!threadMayStartOperations()) return nullptr;
    return start();
  });
}

// A new op with `setUp(op)` run on it: whatever that throws ends the op as a
// set-up failure, so that every op reaches its end.
template <class SetUp>
zembrel_op* newOperation(zembrel_progress_fn progress, zembrel_done_fn done, void* userData,
                         SetUp setUp) {
  auto* op = new zembrel_op(progress, done, userData);
  try {
    setUp(op);
  } catch (...) {
    op->finish(detail::Outcome::failed("Setup", 0, "memory ran out"));
  }
  return op;
}

// Runs `work(extras)` on a thread of its own and ends the op with the outcome
// it returns and the extras it filled; anything thrown ends the op as a
// set-up failure, as does a thread that cannot be made.
template <class Work>
void finishOnWorkerThread(zembrel_op* op, Work work) {
  auto run = [op, work = std::move(work)]() mutable {
    detail::Outcome outcome = detail::Outcome::failed("Setup", 0, "memory ran out");
    OperationExtras extras;
    try {
      outcome = work(extras);
    } catch (...) {
      extras = {};
    }
    op->finish(outcome, std::move(extras));
  };
  try {
    std::thread(std::move(run)).detach();
  } catch (...) {
    op->finish(detail::Outcome::failed("Setup", 0, "no thread for the operation"));
  }
}

// Why the local file cannot be sent ("File" with the OS error), or nothing
// when it is a regular file this process may read.
std::optional<detail::Outcome> localFileRefusal(const std::string& path);

}  // namespace zembrel::capi
