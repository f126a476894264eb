#include "zembrel/Zembrel.hpp"

#include "zembrel/core/ZembrelImpl.hpp"
#include "zembrel/ftp/FtpClient.hpp"
#include "zembrel/http/RetryPolicy.hpp"
#include "zembrel/http/StreamedPost.hpp"

namespace zembrel {

std::shared_ptr<Zembrel> Zembrel::initZembrel() {
  auto instance = std::make_shared<Zembrel>(Passkey{});
  instance->init();
  return instance;
}

Zembrel::Zembrel(Passkey) : impl_(std::make_unique<Impl>()) {}

void Zembrel::init() {
  impl_->progressEventInterval = 1.0;
  impl_->resumableRetryDelays = detail::defaultRetryDelays();
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

void Zembrel::setProgressEventInterval(double seconds) { impl_->progressEventInterval = seconds; }

Zembrel::Snapshot Zembrel::snapshot() const {
  const detail::StreamedPost* post = impl_->post.get();
  const detail::PostProgress& progress =
      post != nullptr ? post->progress() : impl_->progressBeforeFirstPost;
  const detail::FtpClient::State ftp = ftp_->state();
  return Snapshot{
      .postInProgress = impl_->postRunning(),
      .hasResponseData = post != nullptr && post->holdsAnswer(),
      .hasProgressTimer = post != nullptr && post->timersRunning(),
      .hasRateTimer = post != nullptr && post->timersRunning(),
      .bodySize = progress.bodySize,
      .fileSize = progress.fileSize,
      .smallFileProgressBytes = progress.smallFileProgressBytes,
      .initialProgressVal = progress.initialProgressVal,
      .progressBytes = progress.progressBytes,
      .lastProgressBytes = progress.lastProgressBytes,
      .progressEventInterval = impl_->progressEventInterval,
      .uploadRate = progress.uploadRate,
      .timeIntervalFromStart = progress.timeIntervalFromStart,
      .startTime = progress.startTime,
      .firstBytesWritten = progress.firstBytesWritten,
      .bodySizeIsLessThanBuffer = progress.bodySizeIsLessThanBuffer,
      // The body is read from the file while it is sent: no body file.
      .bodyFilePath = std::string(),
      .cookieStr = impl_->cookieStr,
      .hasCurlHandle = ftp.hasHandle,
      .hasMultiHandle = ftp.uploadDriving,
      .doingUpload = ftp.uploading,
      .lastFTPCode = ftp.lastCode,
      .lastFTPDescription = ftp.lastText,
  };
}

}  // namespace zembrel
