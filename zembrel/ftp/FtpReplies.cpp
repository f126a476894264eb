#include "zembrel/ftp/FtpReplies.hpp"

#include <curl/curl.h>

#include <utility>

#include "zembrel/ftp/FtpTransfer.hpp"

namespace zembrel::detail {

void FtpReplyRecord::set(std::int32_t code, std::optional<std::string> text) {
  std::lock_guard lock(mutex_);
  code_ = code;
  text_ = std::move(text);
  failureWords_.reset();
}

void FtpReplyRecord::setFailure(int curlCode, std::string text, std::string words) {
  std::lock_guard lock(mutex_);
  code_ = static_cast<std::int32_t>(curlCode);
  text_ = std::move(text);
  failureWords_ = std::move(words);
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
    setFailure(curlCode, curlFailureText(curlCode), curlFailureText(curlCode));
    return;
  }
  if (hasText() && !unexplained) return;
  setFailure(curlCode, curl_easy_strerror(static_cast<CURLcode>(curlCode)),
             curlFailureText(curlCode));
}

void FtpReplyRecord::recordSftpOutcome(int curlCode, std::int32_t doneCode, const char* doneText) {
  if (curlCode == CURLE_OK) {
    set(doneCode, std::string(doneText));
  } else {
    setFailure(curlCode, curlFailureText(curlCode), curlFailureText(curlCode));
  }
}

Outcome FtpReplyRecord::outcome() const {
  std::lock_guard lock(mutex_);
  const std::string text = text_.value_or("");
  if (failureWords_) return curlFailureOutcome(code_, text, code_, *failureWords_);
  if (code_ >= 100 && code_ < 400) return Outcome::succeeded(code_, text);
  return Outcome::refusedByPeer(text, code_);
}

Outcome malformedUrlOutcome() {
  const std::string text = curl_easy_strerror(CURLE_URL_MALFORMAT);
  return curlFailureOutcome(CURLE_URL_MALFORMAT, text, CURLE_URL_MALFORMAT, text);
}

}  // namespace zembrel::detail
