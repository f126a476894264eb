// The process-wide stop requests and the two operations that set them.

#include "zembrel/Ftp.hpp"
#include "zembrel/Zembrel.hpp"
#include "zembrel/ftp/StopRequests.hpp"

#include <mutex>

namespace zembrel {

std::atomic<int> cancelUpload{0};
std::atomic<int> closeConnection{0};
std::atomic<int> abortOperation{0};

namespace detail {
namespace {

std::mutex stopRequestMutex;

}  // namespace

bool requestUploadStop(const std::atomic<bool>& doingUpload, bool close) {
  std::lock_guard lock(stopRequestMutex);
  if (!doingUpload) return false;
  cancelUpload = 1;
  if (close) closeConnection = 1;
  return true;
}

UploadStopRequests endUpload(std::atomic<bool>& doingUpload) {
  std::lock_guard lock(stopRequestMutex);
  UploadStopRequests requests;
  requests.cancelled = cancelUpload.exchange(0) == 1;
  requests.closeConnection = closeConnection.exchange(0) == 1;
  doingUpload = false;
  return requests;
}

}  // namespace detail

void Zembrel::cancelFTPOperation() {
  if (detail::requestUploadStop(doingUpload, false)) return;
  abortOperation = 1;
  // A directory operation that another thread drives keeps its handle: the
  // abort request alone stops it, through its stop check, within a second.
  curlHandle.resetIfIdle();
}

void Zembrel::closeFTPConnection() {
  if (detail::requestUploadStop(doingUpload, true)) return;
  curlHandle.close();
}

void Zembrel::setLastFTPCode(std::int32_t code, std::optional<std::string> andDescription) {
  lastFTPCode = code;
  lastFTPDescription.set(std::move(andDescription));
}

}  // namespace zembrel
