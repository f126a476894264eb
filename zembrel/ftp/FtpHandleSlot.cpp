#include <curl/curl.h>

#include <chrono>

#include "zembrel/detail/FtpShared.hpp"

namespace zembrel::detail {

FtpHandleSlot::~FtpHandleSlot() { reset(); }

void* FtpHandleSlot::acquire() {
  return acquireWhenFree([] { return true; });
}

void* FtpHandleSlot::acquireWhenFree(const std::function<bool()>& giveUp) {
  std::unique_lock lock(mutex_);
  while (inUse_) {
    if (giveUp()) return nullptr;
    released_.wait_for(lock, std::chrono::milliseconds(50));
  }
  if (!easy_) easy_ = curl_easy_init();
  if (!easy_) return nullptr;
  inUse_ = true;
  closeWhenReleased_ = false;
  return easy_;
}

void FtpHandleSlot::release(bool destroy) {
  std::lock_guard lock(mutex_);
  inUse_ = false;
  released_.notify_all();
  if (!easy_) return;
  if (destroy || closeWhenReleased_) {
    curl_easy_cleanup(easy_);
    easy_ = nullptr;
  } else {
    curl_easy_reset(easy_);
  }
  closeWhenReleased_ = false;
}

void FtpHandleSlot::resetIfIdle() {
  std::lock_guard lock(mutex_);
  if (easy_ && !inUse_) curl_easy_reset(easy_);
}

void FtpHandleSlot::close() {
  std::lock_guard lock(mutex_);
  if (inUse_) {
    closeWhenReleased_ = true;
    return;
  }
  if (easy_) curl_easy_cleanup(easy_);
  easy_ = nullptr;
}

void FtpHandleSlot::reset() {
  std::lock_guard lock(mutex_);
  if (easy_) curl_easy_cleanup(easy_);
  easy_ = nullptr;
  inUse_ = false;
  closeWhenReleased_ = false;
  released_.notify_all();
}

}  // namespace zembrel::detail
