#include "zembrel/ftp/FtpConnection.hpp"

#include <curl/curl.h>

#include <chrono>
#include <utility>

#include "zembrel/ftp/FtpTransfer.hpp"
#include "zembrel/platform/CurlDriver.hpp"

namespace zembrel::detail {

struct FtpConnection::Handles {
  // The easy handle is removed from the driver after every transfer, so the
  // driver may go first; its clean-up closes the cached connection.
  CURL* easy = nullptr;
  CurlDriver driver;

  ~Handles() {
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

FtpConnection::~FtpConnection() {
  std::lock_guard lock(mutex_);
  destroyLocked();
}

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
  std::lock_guard lock(mutex_);
  inUse_ = false;
  released_.notify_all();
  if (!handles_) return;
  if (destroy || closeWhenReleased_) {
    destroyLocked();
  } else {
    curl_easy_reset(handles_->easy);
  }
  closeWhenReleased_ = false;
}

void FtpConnection::resetIfIdle() {
  std::lock_guard lock(mutex_);
  if (handles_ && !inUse_) curl_easy_reset(handles_->easy);
}

void FtpConnection::close() {
  std::lock_guard lock(mutex_);
  if (inUse_) {
    closeWhenReleased_ = true;
    return;
  }
  destroyLocked();
}

bool FtpConnection::hasHandle() const {
  std::lock_guard lock(mutex_);
  return handles_ != nullptr;
}

void FtpConnection::destroyLocked() { handles_.reset(); }

}  // namespace zembrel::detail
