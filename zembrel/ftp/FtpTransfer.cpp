#include "zembrel/ftp/FtpTransfer.hpp"

#include <curl/curl.h>

#include "zembrel/Zembrel.hpp"
#include "zembrel/platform/TransferPolicy.hpp"

namespace zembrel::detail {
namespace {

// libcurl calls this while a transfer runs, about ten times a second even
// when nothing moves, so a stop request from another thread takes effect
// within a second whatever the server does.
int stopCheck(void* instance, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
  return static_cast<const Zembrel*>(instance)->ftpOperationStopped() ? 1 : 0;
}

}  // namespace

void applyFtpTransferPolicy(CURL* easy, const std::string& url, Zembrel* stoppable) {
  applyTransferPolicy(easy, TransferKind::Ftp, url);
  if (stoppable) {
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &stopCheck);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, stoppable);
  }
}

}  // namespace zembrel::detail
