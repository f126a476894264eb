#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

typedef void CURL;

namespace zembrel::detail {

class CurlDriver;

// The FTP connection of an instance: one libcurl easy handle and the driver
// (multi handle) whose cache keeps the server connection between operations.
// Created by the first operation that needs it. It is lent to one operation
// at a time: the host's thread and an upload worker both reach it, so every
// change happens under the lock, and a close asked for from another thread
// never pulls the handle from under the operation that drives it. Ending the
// connection (close, discard, destruction) never waits on its server: the
// goodbye (QUIT) is sent but its answer not awaited, and the handles go out of
// the lock, so no other thread's operation or stop waits for them either.
class FtpConnection {
 public:
  // One operation's use of the connection. Empty while another operation
  // holds it or libcurl cannot make a handle. Ends the use when destroyed:
  // the handle is reset to libcurl's defaults (the connection stays), or
  // destroyed when discard() was called or a close was asked for meanwhile.
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&& other) noexcept;
    ~Lease();

    explicit operator bool() const { return owner_ != nullptr; }
    CURL* easy() const;
    CurlDriver& driver() const;
    // The handle and its connection end with the lease instead of staying.
    void discard() { discard_ = true; }
    // Runs the handle's transfer to its end on the driver, on a private
    // context of the calling thread (see runTransfer). A transfer that
    // stalled also ends its connection, without a goodbye: a server that let
    // a command stall would let QUIT stall too, and the stall must count once.
    int run(const std::function<bool()>& giveUp = {});
    // Ends the use now: as destruction.
    void release();

   private:
    friend class FtpConnection;
    explicit Lease(FtpConnection* owner) : owner_(owner) {}
    FtpConnection* owner_ = nullptr;
    bool discard_ = false;
  };

  FtpConnection();
  FtpConnection(const FtpConnection&) = delete;
  FtpConnection& operator=(const FtpConnection&) = delete;
  // Destroys the handle; no operation may hold it.
  ~FtpConnection();

  // For one operation; empty while another holds the connection.
  Lease acquire();
  // As acquire(), but waits while another operation holds it, until it is
  // free or `giveUp` (asked every 50 ms) says to stop waiting.
  Lease acquireWhenFree(const std::function<bool()>& giveUp);
  // Resets the handle to libcurl's defaults unless an operation holds it.
  void resetIfIdle();
  // Destroys the handle (and its connection) now, or when the operation that
  // holds it ends; that operation sees closeRequested() meanwhile.
  void close();
  // A close was asked for while an operation holds the connection.
  bool closeRequested() const { return closeWhenReleased_.load(std::memory_order_acquire); }
  // From any thread: every read of the connection's sockets ends at once, as
  // if the server had hung up, so a transfer that waits for a reply inside
  // libcurl ends now. For a stop; the connection is not reused afterwards.
  void interruptReads();
  // A handle exists (in use or kept for the next operation).
  bool hasHandle() const;

 private:
  struct Handles;
  void release(bool destroy);
  std::unique_ptr<Handles> takeHandles();

  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::unique_ptr<Handles> handles_;  // null until the first operation
  bool inUse_ = false;
  std::atomic<bool> closeWhenReleased_{false};
};

}  // namespace zembrel::detail
