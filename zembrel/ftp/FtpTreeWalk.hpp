#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zembrel/Ftp.hpp"
#include "zembrel/FtpRecords.hpp"
#include "zembrel/core/Outcome.hpp"
#include "zembrel/ftp/DirectoryListing.hpp"
#include "zembrel/ftp/FtpConnection.hpp"
#include "zembrel/ftp/FtpReplies.hpp"
#include "zembrel/platform/TransferPolicy.hpp"

namespace zembrel::detail {

class CancelToken;

// One tree listing: the directory a URL names and its subdirectories down to
// a depth, all on the connection it was lent. Ends in the entries and one
// outcome (the last reply, a cancel, or the entry limit).
class FtpTreeWalk {
 public:
  // The URL can be combined with a path: the walk can start.
  static bool canList(const std::string& url);

  // `uploadWaiting`: an upload of the instance waits for the connection; the
  // walk then lists no further directory.
  FtpTreeWalk(FtpConnection::Lease& lease, FtpReplyRecord& replies, const CancelToken& token,
              const std::atomic<bool>& uploadWaiting, TransferSettings settings = {});

  ListingResult run(const std::string& url, const FtpLevel& level);
  // How the walk ended; absent when nothing was recorded (no reply text).
  std::optional<Outcome> outcome() const;

 private:
  // One directory's listing (path relative to the URL); absent while an
  // upload waits.
  std::optional<std::vector<FtpEntry>> listOne(const std::string& path);
  void descend(std::vector<FtpEntry>& list, const std::string& basePath, std::int32_t levels);
  bool stopped() const;

  FtpConnection::Lease& lease_;
  FtpReplyRecord& replies_;
  const CancelToken& token_;
  const std::atomic<bool>& uploadWaiting_;
  TransferSettings settings_;  // the operation's own limits, trust and proxy
  FtpReplyScope replyScope_;
  DirectoryListing listing_;
  std::string url_;
};

}  // namespace zembrel::detail
