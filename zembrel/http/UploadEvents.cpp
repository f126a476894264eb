#include <filesystem>
#include <system_error>

#include "zembrel/Zembrel.hpp"
#include "zembrel/http/ResponseFile.hpp"
#include "zembrel/http/UploadBody.hpp"
#include "zembrel/platform/Clock.hpp"
#include "zembrel/platform/HttpStream.hpp"
#include "zembrel/platform/RunLoop.hpp"

namespace zembrel {
namespace {

constexpr std::size_t kReadBufferSize = 2048;
// A first rate sample that finds this share of the file sent means the
// network layer took the file in whole: progress then stops being a rate.
constexpr double kSmallFileThreshold = 0.95;
constexpr double kSmallFileProgressFactor = 0.5;

}  // namespace

void Zembrel::handleNetworkEvent(std::uint32_t event) {
  switch (static_cast<detail::StreamEvent>(event)) {
    case detail::StreamEvent::HasBytesAvailable:
      handleBytesAvailable();
      break;
    case detail::StreamEvent::ErrorOccurred:
      handleStreamError();
      break;
    case detail::StreamEvent::EndEncountered:
      handleStreamComplete();
      break;
    default:
      break;
  }
}

void Zembrel::handleFileReadEvent(std::uint32_t) {
  // The network stream reads the body itself and reports its failures; the
  // body has no events of its own to handle.
}

void Zembrel::handleBytesAvailable() {
  if (!httpReqStream) return;
  char buffer[kReadBufferSize];
  const std::ptrdiff_t count = httpReqStream->read(buffer, sizeof buffer);
  if (count < 0) {
    handleStreamError();
    return;
  }
  if (count == 0) return;
  if (!responseData) responseData.reset(new detail::ResponseSpool());
  if (!responseData->append(std::string_view(buffer, static_cast<std::size_t>(count)))) {
    // Nowhere to keep the answer: the upload cannot end as complete.
    const detail::TransferError error = detail::answerNotKeptError();
    cancelUpload();
    sendAppleEventError(error.domain, error.code);
  }
}

void Zembrel::handleStreamComplete() {
  if (!httpReqStream) return;
  const int status = httpReqStream->statusCode();
  // A response file that cannot be written does not undo the transfer: the
  // host still learns the status.
  if (!responseData) responseData.reset(new detail::ResponseSpool());
  responseData->saveAsResponseFile(httpReqStream->serializedHead());
  if (bodySizeIsLessThanBuffer) {
    smallFileProgressBytes = bodySize;
    sendAppleEventProgress();
  }
  cancelUpload();
  sendAppleEventCompleteWithStatusCode(static_cast<std::uint32_t>(status));
}

void Zembrel::handleStreamError() {
  if (!httpReqStream) return;
  const detail::TransferError error = httpReqStream->error();
  cancelUpload();
  sendAppleEventError(error.domain, error.code);
}

void Zembrel::calcUploadRate() {
  std::int64_t written = 0;
  if (httpReqStream) {
    // Framing bytes (field parts, part header, closing line) are not file.
    written = httpReqStream->requestBytesWritten() - (bodySize - fileSize);
    if (written < 0) written = 0;
  }
  if (firstBytesWritten == 0) {
    if (written > bodySize) return;
    firstBytesWritten = written;
    if (static_cast<double>(written) >= kSmallFileThreshold * static_cast<double>(fileSize)) {
      bodySizeIsLessThanBuffer = true;
      smallFileProgressBytes =
          static_cast<std::int64_t>(kSmallFileProgressFactor * static_cast<double>(fileSize));
    } else {
      bodySizeIsLessThanBuffer = false;
    }
    if (firstBytesWritten == 0) return;
  }
  if (written >= fileSize) return;  // the rate keeps its last value
  timeIntervalFromStart = detail::monotonicSeconds() - startTime;
  if (timeIntervalFromStart <= 0) return;
  uploadRate = static_cast<double>(written - firstBytesWritten) / timeIntervalFromStart;
}

void Zembrel::cancelUpload() {
  // The stream may hold the last reference to this instance; keep it until
  // the teardown is over.
  const std::shared_ptr<Zembrel> keep = weak_from_this().lock();
  if (uploadRateTimer) {
    uploadRateTimer->invalidate();
    uploadRateTimer.reset();
  }
  if (progEventTimer) {
    progEventTimer->invalidate();
    progEventTimer.reset();
  }
  fileReadStream.reset();
  // Destroying the stream stops the transfer and every event of it.
  httpReqStream.reset();
  if (!bodyFilePath.empty()) {
    std::error_code ignored;
    std::filesystem::remove(bodyFilePath, ignored);
  }
  responseData.reset();
  firstBytesWritten = 0;
}

}  // namespace zembrel
