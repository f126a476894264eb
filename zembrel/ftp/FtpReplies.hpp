#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "zembrel/core/Outcome.hpp"

namespace zembrel::detail {

class CancelToken;

// The last reply line of an instance's FTP connection (or what stands for
// one: libcurl's error, SFTP's made-up replies, a cancel). Written by
// whichever thread runs an FTP transfer and read by the host, hence the lock.
class FtpReplyRecord {
 public:
  // Records a reply line's code and text (the text may be absent).
  void set(std::int32_t code, std::optional<std::string> text);
  // Records libcurl's failure in the reply's place: its code and the text
  // results show, and libcurl's detailed words for it.
  void setFailure(int curlCode, std::string text, std::string words);
  std::int32_t code() const;
  std::optional<std::string> text() const;
  // The text is present and not empty.
  bool hasText() const;

  // After a failed FTP transfer: libcurl's error stands for it when no reply
  // text is there, or when the last reply is no refusal that would explain
  // it (unless the caller stopped it); a refused certificate, TLS request or
  // host key always does.
  void recordTransferFailure(int curlCode, bool stoppedByCaller);
  // SFTP has no replies: the operation's success code and text, or
  // libcurl's error.
  void recordSftpOutcome(int curlCode, std::int32_t doneCode, const char* doneText);

  // The last reply as an operation's outcome: a reply below 400 succeeded,
  // anything else failed with the reply (or libcurl's error) as the peer's text.
  Outcome outcome() const;

 private:
  mutable std::mutex mutex_;
  std::int32_t code_ = 0;
  std::optional<std::string> text_;
  // Set when libcurl's failure stands in the reply's place: its words.
  std::optional<std::string> failureWords_;
};

// libcurl's refusal of a URL that cannot be split into host and path.
Outcome malformedUrlOutcome();

// What the reply-line callback of one transfer records to, and the token of
// the operation it belongs to: a reply line that arrives after a cancel stops
// the transfer.
struct FtpReplyScope {
  FtpReplyRecord* replies;
  const CancelToken* token;
};

}  // namespace zembrel::detail
