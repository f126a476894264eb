#include "zembrel/ftp/FtpClient.hpp"

#include <sys/stat.h>

#include <exception>
#include <thread>
#include <utility>

#include "zembrel/core/MessageText.hpp"
#include "zembrel/ftp/FtpDirectoryCommand.hpp"
#include "zembrel/ftp/FtpTreeWalk.hpp"
#include "zembrel/ftp/FtpUploadOperation.hpp"
#include "zembrel/platform/CurlGlobal.hpp"
#include "zembrel/platform/HostChannel.hpp"
#include "zembrel/platform/RunLoop.hpp"
#include "zembrel/platform/SystemLog.hpp"

namespace zembrel::detail {

void UploadStop::request() {
  token.request();
  std::lock_guard lock(mutex_);
  if (running_) running_->interruptReads();
}

void UploadStop::setTransferRunning(FtpConnection* connection) {
  std::lock_guard lock(mutex_);
  running_ = connection;
  if (running_ && token.requested()) running_->interruptReads();
}

FtpClient::FtpClient() { acquireCurlGlobal(); }

FtpClient::~FtpClient() {
  // The connection's handles must go before libcurl's global clean-up.
  connection_.close();
  releaseCurlGlobal();
}

bool FtpClient::startUpload(std::shared_ptr<const void> holder, const std::string& localPath,
                            const std::string& url, bool resume) {
  auto stop = std::make_shared<UploadStop>();
  {
    // Taken here, before the worker exists, so two quick calls never start
    // two, and a stop from now on reaches this upload.
    std::lock_guard lock(stopMutex_);
    if (uploading_) {
      systemLog("previous upload hasn't finished yet");
      return false;
    }
    uploading_ = true;
    uploadStop_ = stop;
  }
  struct stat status {};
  if (::stat(localPath.c_str(), &status) != 0) {
    endUpload(*stop, {});
    deliverHostMessage(finalMessageText(Outcome::failed("File does not exist", 0, {})));
    return false;
  }
  try {
    std::thread([self = shared_from_this(), holder = std::move(holder), stop, localPath, url,
                 resume]() mutable {
      const Outcome outcome = self->runUpload(stop, localPath, url, resume);
      // The final message goes out on the main thread's context; the
      // instance stays alive until then.
      performOnMainThread([holder = std::move(holder), text = finalMessageText(outcome)] {
        deliverHostMessage(text);
      });
    }).detach();
  } catch (const std::exception& e) {
    endUpload(*stop, {});
    systemLog(std::string("cannot start the upload thread: ") + e.what());
    return false;
  }
  return true;
}

void FtpClient::endUpload(const UploadStop& stop, FtpConnection::Lease lease) {
  bool close = false;
  {
    // From here on a stop finds no upload and goes to the connection, which
    // the lease still holds: a close then drops it when the lease ends.
    std::lock_guard lock(stopMutex_);
    uploadStop_.reset();
    close = stop.closeConnection;
  }
  // A close asked for during the upload drops the connection it leaves,
  // whatever the outcome (it may have come while the last reply was on its
  // way), and before the next operation may take it.
  if (close && lease) lease.discard();
  lease.release();
  if (close) connection_.close();
  std::lock_guard lock(stopMutex_);
  uploading_ = false;
}

Outcome FtpClient::runUpload(const std::shared_ptr<UploadStop>& stop, const std::string& localPath,
                             const std::string& url, bool resume) {
  Outcome outcome;
  FtpConnection::Lease lease;
  try {
    FtpUploadOperation operation(*this, stop, localPath, url, resume);
    outcome = operation.run();
    lease = operation.takeLease();
  } catch (...) {
    // Only a failed allocation gets here; the host still gets its one final
    // message.
    outcome = Outcome::failed("Could not connect to server", 0, {});
  }
  uploadDriving_ = false;
  endUpload(*stop, std::move(lease));
  return outcome;
}

CancelTokenPtr FtpClient::beginDirectoryOperation() {
  auto token = makeCancelToken();
  // Published before the operation takes the connection, so a stop that
  // comes while it starts is not lost. One at a time: a second operation of
  // the instance is refused, as while an upload runs.
  std::lock_guard lock(stopMutex_);
  if (uploading_ || directoryToken_) return nullptr;
  directoryToken_ = token;
  return token;
}

void FtpClient::endDirectoryOperation() {
  std::lock_guard lock(stopMutex_);
  directoryToken_.reset();
}

std::optional<ListingResult> FtpClient::listTree(const std::string& url, const FtpLevel& level) {
  if (uploading_) return std::nullopt;
  if (!FtpTreeWalk::canList(url)) return ListingResult{{}, resultText(malformedUrlOutcome())};
  const CancelTokenPtr token = beginDirectoryOperation();
  if (!token) return std::nullopt;
  std::optional<ListingResult> result;
  {
    // Held for the whole walk: one operation of the instance at a time.
    FtpConnection::Lease lease = connection_.acquire();
    if (lease) result = FtpTreeWalk(lease, replies_, *token, uploading_).run(url, level);
  }
  endDirectoryOperation();
  return result;
}

std::optional<std::string> FtpClient::directoryCommand(const std::string& url, bool make) {
  if (uploading_) return std::nullopt;
  if (!canRunDirectoryCommand(url)) return resultText(malformedUrlOutcome());
  const CancelTokenPtr token = beginDirectoryOperation();
  if (!token) return std::nullopt;
  std::optional<std::string> result;
  {
    FtpConnection::Lease lease = connection_.acquire();
    if (lease) result = resultText(runDirectoryCommand(lease, replies_, *token, url, make));
  }
  endDirectoryOperation();
  return result;
}

void FtpClient::stop(bool close) {
  {
    std::lock_guard lock(stopMutex_);
    if (uploadStop_) {
      if (close) uploadStop_->closeConnection = true;
      uploadStop_->request();
      return;
    }
    if (directoryToken_) directoryToken_->request();
  }
  // Out of the lock: dropping a connection must not hold up a stop of
  // another thread, nor the end of an operation.
  if (close) {
    connection_.close();
  } else {
    connection_.resetIfIdle();
  }
}

FtpClient::State FtpClient::state() const {
  return State{
      .hasHandle = connection_.hasHandle(),
      .uploadDriving = uploadDriving_.load(),
      .uploading = uploading_.load(),
      .lastCode = replies_.code(),
      .lastText = replies_.text(),
  };
}

}  // namespace zembrel::detail
