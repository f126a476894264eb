#include "zembrel/ftp/FtpConnection.hpp"

#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "zembrel/ftp/FtpTransfer.hpp"
#include "zembrel/platform/CurlDriver.hpp"

namespace zembrel::detail {

namespace {

// The sockets libcurl opened for one connection's transfers and has not
// closed yet: its control connections (kept between operations) and data
// connections. Reached from the thread that drives a transfer and from the
// one that ends the connection.
class OpenSockets {
 public:
  void opened(int fd) {
    std::lock_guard lock(mutex_);
    open_.push_back(fd);
  }
  void closed(int fd) {
    std::lock_guard lock(mutex_);
    std::erase(open_, fd);
  }
  // Whatever libcurl sends from now on still goes out, but every read ends
  // at once, as if the server had hung up.
  void endReads() {
    std::lock_guard lock(mutex_);
    for (const int fd : open_) ::shutdown(fd, SHUT_RD);
  }

 private:
  std::mutex mutex_;
  std::vector<int> open_;
};

curl_socket_t openSocket(void* sockets, curlsocktype, curl_sockaddr* address) noexcept {
  const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (fd < 0) return CURL_SOCKET_BAD;
  try {
    static_cast<OpenSockets*>(sockets)->opened(fd);
  } catch (...) {
    ::close(fd);
    return CURL_SOCKET_BAD;
  }
  return fd;
}

int closeSocket(void* sockets, curl_socket_t fd) noexcept {
  static_cast<OpenSockets*>(sockets)->closed(fd);
  return ::close(fd);
}

}  // namespace

struct FtpConnection::Handles {
  // The easy handle is removed from the driver after every transfer, so the
  // driver may go first; its clean-up closes the cached connections, and
  // reports their sockets closed to `sockets`, which outlives it.
  CURL* easy = nullptr;
  OpenSockets sockets;
  CurlDriver driver;

  // Before each transfer: the handle's options are reset between them.
  void watchSockets() {
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &openSocket);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, &sockets);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &closeSocket);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, &sockets);
  }

  ~Handles() {
    // libcurl says goodbye (QUIT) on every connection it keeps and waits for
    // the answer as long as for any reply: a server that never answers would
    // hold the close, and the instance's destruction, for a whole stall
    // limit. The goodbye still goes out; its answer is not awaited.
    sockets.endReads();
    driver.remove(easy);
    if (easy) curl_easy_cleanup(easy);
  }
};

FtpConnection::Lease::Lease(Lease&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)), discard_(other.discard_) {}

FtpConnection::Lease& FtpConnection::Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    release();
    owner_ = std::exchange(other.owner_, nullptr);
    discard_ = other.discard_;
  }
  return *this;
}

FtpConnection::Lease::~Lease() { release(); }

CURL* FtpConnection::Lease::easy() const { return owner_->handles_->easy; }

CurlDriver& FtpConnection::Lease::driver() const { return owner_->handles_->driver; }

int FtpConnection::Lease::run(const std::function<bool()>& giveUp) {
  owner_->handles_->watchSockets();
  const int result = runTransfer(driver(), easy(), giveUp, [this](int ended) {
    if (ended != CURLE_OPERATION_TIMEDOUT) return;
    hangUp(easy());
    discard();
  });
  return result;
}

void FtpConnection::Lease::release() {
  if (FtpConnection* owner = std::exchange(owner_, nullptr)) owner->release(discard_);
}

FtpConnection::FtpConnection() = default;

FtpConnection::~FtpConnection() { takeHandles().reset(); }

FtpConnection::Lease FtpConnection::acquire() {
  return acquireWhenFree([] { return true; });
}

FtpConnection::Lease FtpConnection::acquireWhenFree(const std::function<bool()>& giveUp) {
  std::unique_lock lock(mutex_);
  while (inUse_) {
    if (giveUp()) return Lease();
    released_.wait_for(lock, std::chrono::milliseconds(50));
  }
  if (!handles_) {
    auto made = std::make_unique<Handles>();
    made->easy = curl_easy_init();
    if (!made->easy || !made->driver.valid()) return Lease();
    handles_ = std::move(made);
  }
  inUse_ = true;
  closeWhenReleased_ = false;
  return Lease(this);
}

void FtpConnection::release(bool destroy) {
  std::unique_ptr<Handles> ending;
  {
    std::lock_guard lock(mutex_);
    inUse_ = false;
    released_.notify_all();
    if (handles_ && (destroy || closeWhenReleased_)) {
      // Out of the lock's reach: the next operation opens a new connection
      // meanwhile, while this one says goodbye.
      ending = std::move(handles_);
    } else if (handles_) {
      curl_easy_reset(handles_->easy);
    }
    closeWhenReleased_ = false;
  }
}

void FtpConnection::resetIfIdle() {
  std::lock_guard lock(mutex_);
  if (handles_ && !inUse_) curl_easy_reset(handles_->easy);
}

void FtpConnection::close() {
  std::unique_ptr<Handles> ending;
  {
    std::lock_guard lock(mutex_);
    if (inUse_) {
      closeWhenReleased_ = true;
      return;
    }
    ending = std::move(handles_);
  }
}

void FtpConnection::interruptReads() {
  std::lock_guard lock(mutex_);
  if (handles_) handles_->sockets.endReads();
}

bool FtpConnection::hasHandle() const {
  std::lock_guard lock(mutex_);
  return handles_ != nullptr;
}

std::unique_ptr<FtpConnection::Handles> FtpConnection::takeHandles() {
  std::lock_guard lock(mutex_);
  return std::move(handles_);
}

}  // namespace zembrel::detail
