#include "zembrel/Zembrel.hpp"

#include "zembrel/ftp/FtpClient.hpp"
#include "zembrel/http/RetryPolicy.hpp"

namespace zembrel {

std::shared_ptr<Zembrel> Zembrel::initZembrel() {
  auto instance = std::make_shared<Zembrel>(Passkey{});
  instance->init();
  return instance;
}

Zembrel::Zembrel(Passkey) {}

void Zembrel::init() {
  progressEventInterval = 1.0;
  resumableRetryDelays_ = detail::defaultRetryDelays();
  httpReqStream.reset();
  // Holds libcurl's global set-up for the instance (see the field).
  ftp_ = std::make_shared<detail::FtpClient>();
}

Zembrel::~Zembrel() { dealloc(); }

void Zembrel::dealloc() noexcept {
  // A directory operation that another thread still runs (it holds the FTP
  // client) ends as cancelled; the connection goes with the client, and with
  // it libcurl's global set-up, after the remaining fields.
  if (ftp_) ftp_->stop(true);
}

void Zembrel::setProgressEventInterval(double seconds) { progressEventInterval = seconds; }

Zembrel::Snapshot Zembrel::snapshot() const {
  const detail::FtpClient::State ftp = ftp_->state();
  return Snapshot{
      .postInProgress = httpReqStream != nullptr,
      .hasResponseData = responseData != nullptr,
      .hasProgressTimer = progEventTimer != nullptr,
      .hasRateTimer = uploadRateTimer != nullptr,
      .bodySize = bodySize,
      .fileSize = fileSize,
      .smallFileProgressBytes = smallFileProgressBytes,
      .initialProgressVal = initialProgressVal,
      .progressBytes = progressBytes,
      .lastProgressBytes = lastProgressBytes,
      .progressEventInterval = progressEventInterval,
      .uploadRate = uploadRate,
      .timeIntervalFromStart = timeIntervalFromStart,
      .startTime = startTime,
      .firstBytesWritten = firstBytesWritten,
      .bodySizeIsLessThanBuffer = bodySizeIsLessThanBuffer,
      .bodyFilePath = bodyFilePath,
      .cookieStr = cookieStr,
      .hasCurlHandle = ftp.hasHandle,
      .hasMultiHandle = ftp.uploadDriving,
      .doingUpload = ftp.uploading,
      .lastFTPCode = ftp.lastCode,
      .lastFTPDescription = ftp.lastText,
  };
}

}  // namespace zembrel
