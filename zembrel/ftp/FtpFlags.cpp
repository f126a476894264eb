// The process-wide stop requests and the two operations that set them.

#include "zembrel/Ftp.hpp"
#include "zembrel/Zembrel.hpp"

namespace zembrel {

std::atomic<int> cancelUpload{0};
std::atomic<int> closeConnection{0};
std::atomic<int> abortOperation{0};

void Zembrel::cancelFTPOperation() {
  if (doingUpload) {
    zembrel::cancelUpload = 1;
    return;
  }
  abortOperation = 1;
  // A directory operation that another thread drives keeps its handle: the
  // abort request alone stops it, through its stop check, within a second.
  curlHandle.resetIfIdle();
}

void Zembrel::closeFTPConnection() {
  if (doingUpload) {
    zembrel::cancelUpload = 1;
    closeConnection = 1;
    return;
  }
  curlHandle.close();
}

void Zembrel::setLastFTPCode(std::int32_t code, std::optional<std::string> andDescription) {
  lastFTPCode = code;
  lastFTPDescription.set(std::move(andDescription));
}

}  // namespace zembrel
