#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "zembrel/core/Outcome.hpp"
#include "zembrel/ftp/CurlInfo.hpp"
#include "zembrel/ftp/FtpConnection.hpp"
#include "zembrel/ftp/FtpReplies.hpp"
#include "zembrel/ftp/FtpTransfer.hpp"

namespace zembrel::detail {

class FtpClient;
struct UploadStop;

// One FTP upload (or resume) of a local file, run on its worker thread from
// start to its one outcome. The transfer runs on the connection's driver on a
// private context of the worker; progress messages go out from the worker
// as blocks are read.
class FtpUploadOperation {
 public:
  FtpUploadOperation(FtpClient& client, std::shared_ptr<UploadStop> stop,
                     const std::string& localPath, const std::string& url, bool resume,
                     TransferSettings settings = {});
  Outcome run();
  // The connection the upload still holds after run() (empty when it holds
  // none), for its client to end the upload's hold on the instance with.
  FtpConnection::Lease takeLease() { return std::move(lease_); }

 private:
  // What one transfer of the file ended with.
  struct Attempt {
    int result = 0;          // CURLcode
    long responseCode = 0;   // the last reply's code; 0 when cancelled or none
    bool finished = false;   // libcurl ended it (not given up after a cancel)
  };

  bool cancelled() const;
  void setOptions();
  Attempt transferOnce();
  // The path is missing and may be made one level at a time.
  bool needsLevelByLevel(const Attempt& attempt) const;
  Outcome finish(const Attempt& attempt);
  Outcome outcomeOf(const Attempt& attempt, bool alreadyStored);

  FtpClient& client_;
  std::shared_ptr<UploadStop> stop_;
  std::string localPath_;
  std::string destination_;
  bool resume_;
  TransferSettings settings_;  // the operation's own limits, trust and proxy
  FtpSecurity security_;
  long fileMethod_;
  FtpReplyScope replyScope_;
  std::optional<CurlInfo> info_;
  FtpConnection::Lease lease_;
};

}  // namespace zembrel::detail
