// Operations through the C interface: reference counting, the accessors, and
// the hand-over of progress and outcome to the starting thread's context.

#include "zembrel/capi/Operation.hpp"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "zembrel/core/MessageText.hpp"

using zembrel::capi::copyOut;
using zembrel::capi::guarded;
using zembrel::detail::Outcome;

zembrel_op::zembrel_op(zembrel_progress_fn progress, zembrel_done_fn done, void* userData)
    : context_(zembrel::detail::MainContext::threadDefault()),
      progress_(progress),
      done_(done),
      userData_(userData) {}

zembrel_op::~zembrel_op() {
  // A keyring password does not linger in freed memory.
  if (extras.password && !extras.password->empty())
    explicit_bzero(extras.password->data(), extras.password->size());
}

void zembrel_op::unref() noexcept {
  if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void zembrel_op::reportProgress(std::int64_t done, std::int64_t total) {
  if (progress_ == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (finishing_) return;
    pendingDone_ = done;
    pendingTotal_ = total;
    if (progressQueued_) return;
    const auto now = std::chrono::steady_clock::now();
    if (progressInterval_.count() > 0 && now - lastQueued_ < progressInterval_) {
      progressHeldBack_ = true;
      return;
    }
    lastQueued_ = now;
    progressHeldBack_ = false;
    progressQueued_ = true;
  }
  queueProgress();
}

void zembrel_op::queueProgress() {
  ref();
  zembrel::detail::performOn(context_, [this] {
    deliverProgress();
    unref();
  });
}

void zembrel_op::deliverProgress() {
  std::int64_t done = 0;
  std::int64_t total = -1;
  {
    std::lock_guard<std::mutex> hold(lock_);
    progressQueued_ = false;
    done = pendingDone_;
    total = pendingTotal_;
  }
  // Never backwards, also when a transfer starts over from an earlier offset.
  if (done <= deliveredDone_) return;
  deliveredDone_ = done;
  progress_(this, done, total, userData_);
}

void zembrel_op::finish(const Outcome& outcome, zembrel::capi::OperationExtras extras) {
  bool flushProgress = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (finishing_) return;
    finishing_ = true;
    cancel_ = nullptr;
    flushProgress = progressHeldBack_ && !progressQueued_;
  }
  if (flushProgress) queueProgress();
  // Calls queued on one context run in order: progress handed over before
  // this reaches the host first; none is handed over after it.
  zembrel::detail::performOn(context_, [this, outcome, extras = std::move(extras)]() mutable {
    this->extras = std::move(extras);
    deliverOutcome(outcome);
    unref();  // the running operation's reference
  });
}

void zembrel_op::deliverOutcome(const Outcome& outcome) {
  message = zembrel::detail::finalMessageText(outcome);
  int final = ZEMBREL_OP_SUCCEEDED;
  switch (outcome.kind) {
    case Outcome::Kind::Succeeded:
      // An FTP operation's code is its server's reply, given as such.
      if (!extras.replyCode) httpStatus = outcome.status;
      break;
    case Outcome::Kind::Failed: {
      final = ZEMBREL_OP_FAILED;
      zembrel::capi::PublicError error = zembrel::capi::publicError(outcome);
      errorDomain = std::move(error.domain);
      errorCode = error.code;
      errorMessage = std::move(error.message);
      if (errorDomain == "HTTP") httpStatus = static_cast<int>(outcome.code);
      break;
    }
    case Outcome::Kind::Cancelled:
      final = ZEMBREL_OP_CANCELLED;
      break;
  }
  status.store(final, std::memory_order_release);
  if (done_ != nullptr) done_(this, userData_);
}

void zembrel_op::setCancel(std::function<void()> cancel) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!finishing_) cancel_ = std::move(cancel);
}

void zembrel_op::cancel() {
  std::function<void()> request;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (finishing_) return;
    request = cancel_;
  }
  if (request) request();
}

namespace zembrel::capi {

PublicError publicError(const detail::Outcome& outcome) {
  using Cause = detail::Outcome::Cause;
  const std::string& words = outcome.words.empty() ? outcome.domain : outcome.words;
  switch (outcome.cause) {
    case Cause::ServerRefused:
      return {"FTP", outcome.causeCode, words};
    case Cause::Transfer:
      return {"Custom", outcome.causeCode, words};
    case Cause::NoConnection:
      return {"Connect", outcome.causeCode, words};
    case Cause::LocalFile:
      return {"File", outcome.causeCode, words};
    case Cause::AsNamed:
      break;
  }
  // Everything else names its domain and code as hosts see them already.
  return {outcome.domain, outcome.code, words};
}

bool threadMayStartOperations() {
  if (g_main_context_get_thread_default() != nullptr) return true;
  GMainContext* global = g_main_context_default();
  if (g_main_context_is_owner(global)) return true;
  if (!g_main_context_acquire(global)) return false;
  g_main_context_release(global);
  return true;
}

std::optional<detail::Outcome> localFileRefusal(const std::string& path) {
  struct stat info {};
  int error = 0;
  if (::stat(path.c_str(), &info) != 0) {
    error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    return detail::Outcome::failed("File", 0, path + " is not a regular file");
  } else if (::access(path.c_str(), R_OK) != 0) {
    error = errno;
  } else {
    return std::nullopt;
  }
  return detail::Outcome::failed("File", error,
                                 "cannot read " + path + ": " + std::strerror(error));
}

}  // namespace zembrel::capi

namespace {

// A text the operation left once it ended; NULL while it runs or when absent.
const char* endedText(const zembrel_op* op,
                      std::optional<std::string> zembrel::capi::OperationExtras::*member) {
  if (op == nullptr || zembrel_op_status(op) == ZEMBREL_OP_RUNNING) return nullptr;
  const std::optional<std::string>& value = op->extras.*member;
  return value ? value->c_str() : nullptr;
}

}  // namespace

extern "C" {

void zembrel_op_cancel(zembrel_op* op) {
  if (op != nullptr) guarded([&] { op->cancel(); });
}

zembrel_op* zembrel_op_ref(zembrel_op* op) {
  if (op != nullptr) op->ref();
  return op;
}

void zembrel_op_unref(zembrel_op* op) {
  if (op != nullptr) op->unref();
}

int zembrel_op_status(const zembrel_op* op) {
  return op != nullptr ? op->status.load(std::memory_order_acquire) : ZEMBREL_OP_FAILED;
}

int zembrel_op_http_status(const zembrel_op* op) {
  return op != nullptr && zembrel_op_status(op) != ZEMBREL_OP_RUNNING ? op->httpStatus : 0;
}

const char* zembrel_op_error_domain(const zembrel_op* op) {
  return zembrel_op_status(op) == ZEMBREL_OP_FAILED && op != nullptr ? op->errorDomain.c_str()
                                                                     : nullptr;
}

int zembrel_op_error_code(const zembrel_op* op) {
  return zembrel_op_status(op) == ZEMBREL_OP_FAILED && op != nullptr
             ? static_cast<int>(op->errorCode)
             : 0;
}

const char* zembrel_op_error_message(const zembrel_op* op) {
  return zembrel_op_status(op) == ZEMBREL_OP_FAILED && op != nullptr ? op->errorMessage.c_str()
                                                                     : nullptr;
}

const char* zembrel_op_message(const zembrel_op* op) {
  return op != nullptr && zembrel_op_status(op) != ZEMBREL_OP_RUNNING ? op->message.c_str()
                                                                      : nullptr;
}

const char* zembrel_op_location(const zembrel_op* op) {
  return endedText(op, &zembrel::capi::OperationExtras::location);
}

const void* zembrel_op_response_body(const zembrel_op* op, size_t* length) {
  const char* body = endedText(op, &zembrel::capi::OperationExtras::responseBody);
  if (length != nullptr) *length = body != nullptr ? op->extras.responseBody->size() : 0;
  return body;
}

const char* zembrel_op_response_headers(const zembrel_op* op) {
  return endedText(op, &zembrel::capi::OperationExtras::responseHead);
}

int zembrel_op_reply_code(const zembrel_op* op) {
  if (op == nullptr || zembrel_op_status(op) == ZEMBREL_OP_RUNNING) return 0;
  return op->extras.replyCode.value_or(0);
}

const char* zembrel_op_reply_text(const zembrel_op* op) {
  return endedText(op, &zembrel::capi::OperationExtras::replyText);
}

const char* zembrel_op_password(const zembrel_op* op) {
  return endedText(op, &zembrel::capi::OperationExtras::password);
}

const char* zembrel_op_account(const zembrel_op* op) {
  return endedText(op, &zembrel::capi::OperationExtras::account);
}

char* zembrel_op_result_json(const zembrel_op* op) {
  if (op == nullptr || zembrel_op_status(op) == ZEMBREL_OP_RUNNING || !op->extras.resultJson) {
    return nullptr;
  }
  return copyOut(*op->extras.resultJson);
}

}  // extern "C"
