#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace zembrel::detail {

// The directory listing in progress on an instance (see
// zembrel/ftp/DirectoryListing.hpp).
struct DirectoryListing;

// The one libcurl easy handle of an instance: created by the first FTP
// operation that needs it and kept between operations, so libcurl can reuse
// the server connection. The host's thread and an upload worker both reach it,
// so every change happens under the lock, and an operation that drives the
// handle marks it in use: a reset or close asked for from another thread then
// never pulls the handle from under libcurl, and one operation of an instance
// runs at a time (a tree listing holds it for the whole walk).
class FtpHandleSlot {
 public:
  FtpHandleSlot() = default;
  FtpHandleSlot(const FtpHandleSlot&) = delete;
  FtpHandleSlot& operator=(const FtpHandleSlot&) = delete;
  ~FtpHandleSlot();

  // For one operation: the handle (created when there is none), marked in use.
  // Null while another operation drives it, or when libcurl cannot make one.
  void* acquire();
  // As acquire(), but waits while another operation drives the handle, until
  // it is free or `giveUp` (asked every 50 ms) says to stop waiting.
  void* acquireWhenFree(const std::function<bool()>& giveUp);
  // Ends the operation that acquired the handle: resets it to libcurl's
  // defaults (the connection stays), or destroys it when `destroy` is set or a
  // close was asked for meanwhile.
  void release(bool destroy = false);
  // Resets the handle to libcurl's defaults unless an operation drives it.
  void resetIfIdle();
  // Destroys the handle (and its connection) now, or when the operation that
  // drives it ends; that operation sees closeRequested() meanwhile and stops.
  void close();
  // A close was asked for while an operation drives the handle.
  bool closeRequested() const { return closeWhenReleased_.load(std::memory_order_relaxed); }
  // Destroys the handle at once; only for creation and destruction of the
  // instance, when no operation can be running.
  void reset();

  friend bool operator==(const FtpHandleSlot& slot, std::nullptr_t) {
    std::lock_guard lock(slot.mutex_);
    return slot.easy_ == nullptr;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable released_;
  void* easy_ = nullptr;  // CURL*; owned
  bool inUse_ = false;
  // Written under the lock; read without it by the stop check of a transfer.
  std::atomic<bool> closeWhenReleased_{false};
};

// The text of the last recorded FTP reply. Written by whichever thread runs an
// FTP transfer and read by the host, hence the lock.
class FtpReplyText {
 public:
  FtpReplyText() = default;
  FtpReplyText(const FtpReplyText&) = delete;
  FtpReplyText& operator=(const FtpReplyText&) = delete;

  operator std::optional<std::string>() const {
    std::lock_guard lock(mutex_);
    return text_;
  }
  void set(std::optional<std::string> text) {
    std::lock_guard lock(mutex_);
    text_ = std::move(text);
  }
  // Present and not empty.
  bool hasText() const {
    std::lock_guard lock(mutex_);
    return text_ && !text_->empty();
  }

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> text_;
};

}  // namespace zembrel::detail
