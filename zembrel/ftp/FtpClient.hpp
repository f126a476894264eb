#pragma once

// The FTP side of an instance: its connection, its last reply, and the
// operation that runs on it. Zembrel's FTP methods forward here; every call
// holds a reference to the client, so an instance closed by another thread
// meanwhile frees nothing that the call still uses.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "zembrel/Ftp.hpp"
#include "zembrel/FtpRecords.hpp"
#include "zembrel/core/CancelToken.hpp"
#include "zembrel/ftp/FtpConnection.hpp"
#include "zembrel/ftp/FtpReplies.hpp"

namespace zembrel::detail {

// How a stop reaches the running upload: its token, and whether the
// connection goes with it (closeFTPConnection).
struct UploadStop {
  CancelToken token;
  std::atomic<bool> closeConnection{false};
  // Where progress goes when set (an operation of its own); else to the
  // host's messages.
  std::function<void(std::uint64_t bytes)> progress;

  // From any thread: asks the upload to stop. While its transfer runs, the
  // transfer's reads end at once too: libcurl waits for the server's final
  // reply inside one call, where a reply that never comes (or never ends)
  // would hold the stop for a minute.
  void request();
  // The worker's: the connection whose transfer runs now, or null once it
  // ended. A stop asked for before the transfer started takes effect at once.
  void setTransferRunning(FtpConnection* connection);

 private:
  std::mutex mutex_;
  FtpConnection* running_ = nullptr;  // guarded by mutex_
};

class FtpClient : public std::enable_shared_from_this<FtpClient> {
 public:
  // Takes a share of libcurl's global set-up, which the client holds while
  // it lives: the instance's, and a call's that outlives the instance.
  FtpClient();
  FtpClient(const FtpClient&) = delete;
  FtpClient& operator=(const FtpClient&) = delete;
  ~FtpClient();

  // Starts an upload on a worker thread that holds `holder` (the instance)
  // and the client until the final message was delivered on the main
  // thread's context. False, with nothing started, while an upload runs or
  // when the file is missing ("#error|File does not exist|0" sent at once).
  bool startUpload(std::shared_ptr<const void> holder, const std::string& localPath,
                   const std::string& url, bool resume);
  // The tree walk and the directory commands, on the calling thread; absent
  // while an upload or another operation runs.
  std::optional<ListingResult> listTree(const std::string& url, const FtpLevel& level);
  std::optional<std::string> directoryCommand(const std::string& url, bool make);

  // Stops the running operation, if any; a request when none runs changes
  // nothing. With close, the connection is dropped too (now when idle).
  void stop(bool close);

  // What the instance's snapshot shows.
  struct State {
    bool hasHandle;
    bool uploadDriving;  // an upload's transfer runs
    bool uploading;
    std::int32_t lastCode;
    std::optional<std::string> lastText;
  };
  State state() const;

  // For the operations.
  FtpConnection& connection() { return connection_; }
  FtpReplyRecord& replies() { return replies_; }
  bool uploading() const { return uploading_.load(); }
  void setUploadDriving(bool driving) { uploadDriving_ = driving; }

 private:
  // The token of the directory operation that starts now (stop() reaches it
  // until endDirectoryOperation); null while another operation runs.
  CancelTokenPtr beginDirectoryOperation();
  void endDirectoryOperation();
  // On the worker thread: the upload, from start to outcome.
  Outcome runUpload(const std::shared_ptr<UploadStop>& stop, const std::string& localPath,
                    const std::string& url, bool resume);
  // Ends the upload's hold on the instance, with the lease it still has
  // (empty when none); honours a close asked for meanwhile.
  void endUpload(const UploadStop& stop, FtpConnection::Lease lease);

  FtpConnection connection_;
  FtpReplyRecord replies_;
  std::atomic<bool> uploading_{false};
  std::atomic<bool> uploadDriving_{false};
  mutable std::mutex stopMutex_;
  std::shared_ptr<UploadStop> uploadStop_;  // the running upload's; null when none
  CancelTokenPtr directoryToken_;           // the running directory operation's
};

}  // namespace zembrel::detail
