#include "zembrel/platform/UrlSession.hpp"

#include <curl/curl.h>

#include <array>
#include <mutex>

namespace zembrel::detail {
namespace {

class SharedSession {
 public:
  SharedSession() : share_(curl_share_init()) {
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }
  SharedSession(const SharedSession&) = delete;
  SharedSession& operator=(const SharedSession&) = delete;
  // Lives for the whole process: handles of any instance may still point at it
  // during static destruction, so it is deliberately never cleaned up.

  CURLSH* get() const { return share_; }

 private:
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) noexcept {
    static_cast<SharedSession*>(self)->mutexFor(data).lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* self) noexcept {
    static_cast<SharedSession*>(self)->mutexFor(data).unlock();
  }
  std::mutex& mutexFor(curl_lock_data data) {
    auto index = static_cast<std::size_t>(data);
    return mutexes_[index < mutexes_.size() ? index : 0];
  }

  CURLSH* share_;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes_;
};

SharedSession& session() {
  static SharedSession* instance = new SharedSession();
  return *instance;
}

}  // namespace

void attachSharedSession(CURL* easy) {
  curl_easy_setopt(easy, CURLOPT_SHARE, session().get());
  // An empty file name turns on the cookie engine without reading any file.
  curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
}

}  // namespace zembrel::detail
