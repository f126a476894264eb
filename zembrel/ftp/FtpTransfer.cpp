#include "zembrel/ftp/FtpTransfer.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>

#include "zembrel/Zembrel.hpp"
#include "zembrel/platform/TransferPolicy.hpp"

namespace zembrel::detail {
namespace {

// Seconds set by a test; 0: the real limit.
std::atomic<long> stallForTesting{0};

// libcurl calls this while a transfer runs, about ten times a second even
// when nothing moves, so a stop request from another thread takes effect
// within a second whatever the server does.
int stopCheck(void* instance, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
  return static_cast<const Zembrel*>(instance)->ftpOperationStopped() ? 1 : 0;
}

}  // namespace

std::chrono::seconds ftpStallLimit() {
  const long seconds = stallForTesting.load(std::memory_order_relaxed);
  return std::chrono::seconds(seconds > 0 ? seconds : kStallSeconds);
}

void setFtpStallLimitForTesting(std::optional<std::chrono::seconds> limit) {
  stallForTesting = limit ? std::max<long>(1, static_cast<long>(limit->count())) : 0;
}

void applyFtpTransferPolicy(CURL* easy, const std::string& url, Zembrel* stoppable) {
  applyTransferPolicy(easy, TransferKind::Ftp, url);
  const long stall = static_cast<long>(ftpStallLimit().count());
  // The policy's limit watches the bytes of the data connection; a reply
  // that the server owes on the control connection (to MKD, say, or before a
  // listing starts) gets the same time.
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, stall);
  curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, stall);
  if (stoppable) {
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &stopCheck);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, stoppable);
  }
}

}  // namespace zembrel::detail
