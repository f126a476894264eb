#include "zembrel/http/StreamedPost.hpp"

#include <algorithm>
#include <chrono>
#include <utility>

#include "zembrel/core/MessageText.hpp"
#include "zembrel/http/ResponseFile.hpp"
#include "zembrel/platform/Clock.hpp"
#include "zembrel/platform/HttpStream.hpp"
#include "zembrel/platform/RunLoop.hpp"
#include "zembrel/platform/TransferError.hpp"

namespace zembrel::detail {
namespace {

constexpr std::size_t kReadBufferSize = 2048;
constexpr std::chrono::duration<double> kRatePeriod{0.5};

Outcome failureOf(const TransferError& error) {
  return Outcome::failed(error.domain, error.code, error.message);
}

}  // namespace

StreamedPost::StreamedPost(Owner owner, const PostProgress& progress, double progressInterval)
    : owner_(std::move(owner)),
      progress_(progress.nextUpload()),
      progressInterval_(progressInterval),
      answerCap_(owner_.keepAnswerUpTo) {}

StreamedPost::~StreamedPost() = default;

bool StreamedPost::start(const StreamedPostArguments& arguments) {
  if (phase_ != Phase::Idle) return false;
  setPhase(Phase::Running);
  // Held until the end below, whatever the host drops meanwhile.
  const auto self = shared_from_this();
  try {
    if (!answerCap_) responseData_.reset(new ResponseSpool());
    std::optional<StreamedPostRequest> built = buildStreamedPostRequest(arguments);
    if (!built) {
      end(Outcome::failed("Setup", 0, "the file cannot be read"));
      return false;
    }
    sendsFile_ = built->fileSize.has_value();
    if (built->fileSize) progress_.fileSize = *built->fileSize;
    if (built->bodySize) progress_.bodySize = *built->bodySize;

    std::weak_ptr<StreamedPost> weak = weak_from_this();
    stream_.reset(new HttpStream(std::move(built->request), [weak](StreamEvent event) {
      if (auto post = weak.lock()) post->onEvent(event);
    }));
    if (!stream_->start()) {
      end(Outcome::failed("Setup", 0, "the request cannot be sent"));
      return false;
    }
    progress_.startTime = monotonicSeconds();
    if (sendsFile_) startTimers();
    return true;
  } catch (...) {
    end(Outcome::failed("Setup", 0, "memory ran out"));
    return false;
  }
}

void StreamedPost::startTimers() {
  const auto context = MainContext::threadDefault();
  std::weak_ptr<StreamedPost> weak = weak_from_this();
  progEventTimer_ =
      startRepeatingTimer(context, std::chrono::duration<double>(progressInterval_), [weak] {
        if (auto post = weak.lock()) post->sendProgress();
      });
  uploadRateTimer_ = startRepeatingTimer(context, kRatePeriod, [weak] {
    auto post = weak.lock();
    if (post && post->stream_)
      post->progress_.sampleRate(post->stream_->requestBytesWritten(), monotonicSeconds());
  });
}

void StreamedPost::sendProgress() {
  if (owner_.send) owner_.send(progressMessageText(progress_.estimate(monotonicSeconds())));
  if (owner_.progressed && stream_) owner_.progressed(fileBytesSent(), progress_.fileSize);
}

std::int64_t StreamedPost::fileBytesSent() const {
  if (!stream_ || progress_.bodySize <= 0) return 0;
  const long double share =
      static_cast<long double>(stream_->requestBytesWritten()) / progress_.bodySize;
  return std::clamp<std::int64_t>(static_cast<std::int64_t>(share * progress_.fileSize), 0,
                                  progress_.fileSize);
}

void StreamedPost::cancel() {
  cancel_->request();
  if (phase_ == Phase::Running) end(Outcome::cancelled());
}

void StreamedPost::onEvent(StreamEvent event) {
  if (phase_ != Phase::Running) return;
  if (cancel_->requested()) return end(Outcome::cancelled());
  try {
    switch (event) {
      case StreamEvent::HasBytesAvailable:
        return onBytesAvailable();
      case StreamEvent::ErrorOccurred:
        return end(failureOf(stream_->error()));
      case StreamEvent::EndEncountered: {
        onAnswerComplete();
        if (progress_.bodySizeIsLessThanBuffer) {
          progress_.smallFileProgressBytes = progress_.bodySize;
          sendProgress();
        }
        if (sendsFile_ && owner_.progressed)
          owner_.progressed(progress_.fileSize, progress_.fileSize);
        return end(Outcome::succeeded(stream_->statusCode()));
      }
      default:
        return;
    }
  } catch (...) {
    end(failureOf(outOfMemoryError()));
  }
}

void StreamedPost::onBytesAvailable() {
  char buffer[kReadBufferSize];
  const std::ptrdiff_t count = stream_->read(buffer, sizeof buffer);
  if (count < 0) return end(failureOf(stream_->error()));
  if (count == 0) return;
  keepAnswerBytes(std::string_view(buffer, static_cast<std::size_t>(count)));
}

bool StreamedPost::keepAnswerBytes(std::string_view bytes) {
  if (!answerCap_) {
    if (responseData_->append(bytes)) return true;
    // Nowhere to keep the answer: the upload cannot end as complete.
    end(failureOf(answerNotKeptError()));
    return false;
  }
  if (bytes.size() > *answerCap_ - answerBody_.size()) {
    TransferError error = answerNotKeptError();
    error.message = "the answer is longer than the " + std::to_string(*answerCap_) +
                    " bytes an operation keeps of it";
    end(failureOf(error));
    return false;
  }
  answerBody_.append(bytes);
  return true;
}

void StreamedPost::onAnswerComplete() {
  if (answerCap_) {
    answer_ = Answer{stream_->headerLines(), std::move(answerBody_)};
    return;
  }
  // A response file that cannot be written does not undo the transfer: the
  // host still learns the status.
  responseData_->saveAsResponseFile(stream_->serializedHead());
}

void StreamedPost::tearDown() {
  if (uploadRateTimer_) uploadRateTimer_->invalidate();
  uploadRateTimer_.reset();
  if (progEventTimer_) progEventTimer_->invalidate();
  progEventTimer_.reset();
  // Destroying the stream stops the transfer and every event of it.
  stream_.reset();
  responseData_.reset();
  answerBody_.clear();
  answerBody_.shrink_to_fit();
  progress_.firstBytesWritten = 0;
}

void StreamedPost::end(const Outcome& outcome) {
  if (phase_ == Phase::Ended) return;
  setPhase(Phase::Ended);
  tearDown();
  // The owner goes after the message: the host may drop its last reference
  // from inside the handler.
  Owner owner = std::move(owner_);
  owner_ = {};
  if (outcome.kind != Outcome::Kind::Cancelled && owner.send) owner.send(finalMessageText(outcome));
  if (owner.finished) owner.finished(outcome);
}

}  // namespace zembrel::detail
