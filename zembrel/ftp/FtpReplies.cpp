#include "zembrel/ftp/FtpReplies.hpp"

#include <curl/curl.h>

#include <utility>

#include "zembrel/ftp/FtpTransfer.hpp"

namespace zembrel::detail {

void FtpReplyRecord::set(std::int32_t code, std::optional<std::string> text) {
  std::lock_guard lock(mutex_);
  code_ = code;
  text_ = std::move(text);
}

std::int32_t FtpReplyRecord::code() const {
  std::lock_guard lock(mutex_);
  return code_;
}

std::optional<std::string> FtpReplyRecord::text() const {
  std::lock_guard lock(mutex_);
  return text_;
}

bool FtpReplyRecord::hasText() const {
  std::lock_guard lock(mutex_);
  return text_ && !text_->empty();
}

void FtpReplyRecord::recordTransferFailure(int curlCode, bool stoppedByCaller) {
  // A reply below 400 (the 150 before a listing that then stalled, a 226 of an
  // earlier operation) does not explain a failed transfer; libcurl's error does.
  const bool unexplained = curlCode != CURLE_OK && !stoppedByCaller && code() < 400;
  // A refused certificate, TLS request or host key is never hidden behind the
  // reply (AUTH's, say) that came before it.
  if (!stoppedByCaller && isTrustFailure(curlCode)) {
    set(curlCode, curlFailureText(curlCode));
    return;
  }
  if (hasText() && !unexplained) return;
  set(curlCode, std::string(curl_easy_strerror(static_cast<CURLcode>(curlCode))));
}

void FtpReplyRecord::recordSftpOutcome(int curlCode, std::int32_t doneCode, const char* doneText) {
  if (curlCode == CURLE_OK) {
    set(doneCode, std::string(doneText));
  } else {
    set(curlCode, curlFailureText(curlCode));
  }
}

Outcome FtpReplyRecord::outcome() const {
  std::lock_guard lock(mutex_);
  const std::string text = text_.value_or("");
  if (code_ >= 100 && code_ < 400) return Outcome::succeeded(code_, text);
  return Outcome::refusedByPeer(text, code_);
}

Outcome malformedUrlOutcome() {
  return Outcome::failed(curl_easy_strerror(CURLE_URL_MALFORMAT), CURLE_URL_MALFORMAT, {});
}

}  // namespace zembrel::detail
