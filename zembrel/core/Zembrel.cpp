#include "zembrel/Zembrel.hpp"

#include "zembrel/core/ZembrelImpl.hpp"
#include "zembrel/http/RetryPolicy.hpp"
#include "zembrel/http/StreamedPost.hpp"
#include "zembrel/platform/CurlGlobal.hpp"

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
  detail::acquireCurlGlobal();
  curlHandle.reset();
  doingUpload = false;
}

Zembrel::~Zembrel() { dealloc(); }

void Zembrel::dealloc() noexcept {
  // The easy handle must go before libcurl's global clean-up; the remaining
  // fields are released by their owners when the object goes.
  curlHandle.reset();
  detail::releaseCurlGlobal();
}

void Zembrel::setProgressEventInterval(double seconds) {
  impl_->progressEventInterval = seconds;
}

Zembrel::Snapshot Zembrel::snapshot() const {
  const detail::StreamedPost* post = impl_->post.get();
  const detail::PostProgress& progress =
      post != nullptr ? post->progress() : impl_->progressBeforeFirstPost;
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
      .hasCurlHandle = curlHandle != nullptr,
      .hasMultiHandle = multiHandle != nullptr,
      .doingUpload = doingUpload.load(),
      .lastFTPCode = lastFTPCode,
      .lastFTPDescription = lastFTPDescription,
  };
}

}  // namespace zembrel
