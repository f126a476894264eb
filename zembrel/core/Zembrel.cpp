#include "zembrel/Zembrel.hpp"

#include "zembrel/http/RetryPolicy.hpp"
#include "zembrel/platform/CurlGlobal.hpp"

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

void Zembrel::setProgressEventInterval(double seconds) { progressEventInterval = seconds; }

Zembrel::Snapshot Zembrel::snapshot() const {
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
      .hasCurlHandle = curlHandle != nullptr,
      .hasMultiHandle = multiHandle != nullptr,
      .doingUpload = doingUpload.load(),
      .lastFTPCode = lastFTPCode,
      .lastFTPDescription = lastFTPDescription,
  };
}

}  // namespace zembrel
