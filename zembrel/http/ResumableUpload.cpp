#include "zembrel/http/ResumableUpload.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <utility>

#include "zembrel/core/MessageText.hpp"
#include "zembrel/http/FileSlice.hpp"
#include "zembrel/http/RetryPolicy.hpp"
#include "zembrel/platform/File.hpp"
#include "zembrel/platform/HttpStream.hpp"
#include "zembrel/platform/RunLoop.hpp"
#include "zembrel/platform/TransferError.hpp"
#include "zembrel/platform/TransferPolicy.hpp"
#include "zembrel/platform/Url.hpp"

namespace zembrel::detail {
namespace {

// Most bytes sent along with a creation request. Its answer brings the
// upload's URL, so bytes of a creation cut short are lost: small files still
// go in one request, a cut costs at most this much.
constexpr std::int64_t kCreationBodyLimit = 4 * 1024 * 1024;
// An entry of an upload whose server named no expiry is kept this long.
constexpr std::int64_t kDefaultEntryLifetime = 7 * 24 * 3600;
// A cancel waits this long for the server to delete the upload.
constexpr std::chrono::seconds kTerminationLimit{5};
// Progress messages come at most this often, whatever the interval set.
constexpr double kShortestProgressInterval = 0.05;
constexpr std::size_t kDrainBlock = 16 * 1024;

// Errors of this upload that no transfer reports.
const char* const kWeirdReplyDomain = "Custom";
constexpr std::int32_t kWeirdReply = 8;    // the answer breaks the protocol
constexpr std::int32_t kFileChanged = 26;  // as a body that cannot be read
constexpr std::int32_t kCannotStart = 2;   // the transfer could not be set up
constexpr std::int32_t kOutOfMemory = 27;  // memory ran out mid-way

std::int64_t nowSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

// Size and modification time of the file at `path` (links followed).
std::optional<std::pair<std::int64_t, std::int64_t>> fileState(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  const std::int64_t modified =
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
  return std::make_pair(static_cast<std::int64_t>(info.st_size), modified);
}

bool isSuccess(int status) { return status >= 200 && status < 300; }

Outcome refusedWith(int status) {
  return Outcome::failed("HTTP", status, "the server answered " + std::to_string(status));
}
Outcome transferFailure(const TransferError& error) {
  return Outcome::failed(error.domain, error.code, error.message);
}
Outcome brokenProtocol() {
  return Outcome::failed(kWeirdReplyDomain, kWeirdReply, "the answer breaks the protocol");
}

}  // namespace

template <>
void Destroy<HttpStream>::operator()(HttpStream* stream) const noexcept;

template <class Step>
void ResumableUpload::guarded(Step step) noexcept {
  try {
    step();
  } catch (...) {
    // Nothing may unwind into the stream or the main loop, and the host
    // still gets its one final message.
    try {
      fail(Outcome::failed(kWeirdReplyDomain, kOutOfMemory, "memory ran out"));
    } catch (...) {
    }
  }
}

std::shared_ptr<ResumableUpload> ResumableUpload::create(Settings settings, Owner owner) {
  if (!schemeAllowed(TransferKind::Http, settings.endpoint)) return nullptr;
  std::optional<std::string> metadataValue = tusMetadataValue(settings.metadata);
  if (!metadataValue) return nullptr;
  auto file = std::make_shared<File>(File::openForReading(settings.filePath));
  if (!file->isOpen()) return nullptr;
  auto identity = identityOf(*file);
  if (!identity || identity->size != file->size()) return nullptr;
  return std::make_shared<ResumableUpload>(std::move(settings), std::move(owner), std::move(file),
                                           std::move(*identity), std::move(metadataValue));
}

ResumableUpload::ResumableUpload(Settings settings, Owner owner, std::shared_ptr<File> file,
                                 FileIdentity identity, std::optional<std::string> metadataValue)
    : settings_(std::move(settings)),
      owner_(std::move(owner)),
      file_(std::move(file)),
      fileSize_(file_->size()),
      identity_(std::move(identity)),
      metadataValue_(std::move(metadataValue)),
      store_(settings_.stateFolder) {}

ResumableUpload::~ResumableUpload() = default;

void ResumableUpload::start() {
  if (phase_ != Phase::Idle) return;
  store_.removeExpired(nowSeconds());
  probe();
}

void ResumableUpload::startProgress() {
  // From the first byte sent on: before, the upload's start is not known.
  if (progressTimer_) return;
  const double interval = std::max(settings_.progressInterval.count(), kShortestProgressInterval);
  std::weak_ptr<ResumableUpload> weak = weak_from_this();
  progressTimer_ = startRepeatingTimer(MainContext::threadDefault(),
                                       std::chrono::duration<double>(interval), [weak] {
                                         if (auto self = weak.lock())
                                           self->guarded([&] { self->sendProgress(); });
                                       });
}

void ResumableUpload::cancel() {
  cancel_->request();
  if (phase_ == Phase::Idle || phase_ == Phase::Ended || phase_ == Phase::Terminating) return;
  stopTransfer();
  forgetEntry();
  if (uploadUrl_ && canTerminate()) {
    terminate(Outcome::cancelled());
  } else {
    end(Outcome::cancelled());
  }
}

// ---- Requests, one per phase.

void ResumableUpload::probe() {
  setPhase(Phase::Probing);
  startRequest(settings_.endpoint, "OPTIONS", probeFields(settings_.headers), nullptr);
}

void ResumableUpload::check() {
  setPhase(Phase::Checking);
  checkingAfterBody_ = false;
  startRequest(*uploadUrl_, "HEAD", offsetFields(caps_->dialect, callerHeadersFor(*uploadUrl_)),
               nullptr);
}

void ResumableUpload::createUpload() {
  setPhase(Phase::Creating);
  const ResumableDialect dialect = caps_->dialect;
  // The draft's creation is sent empty: its answer brings the URL before any
  // byte is at risk.
  std::int64_t bodyBytes = 0;
  if (dialect == ResumableDialect::Tus && caps_->creationWithUpload)
    bodyBytes = std::min(fileSize_, kCreationBodyLimit);
  requestBase_ = 0;
  requestLength_ = bodyBytes;
  requestCompletes_ = bodyBytes == fileSize_;
  const std::string fileName = std::filesystem::path(settings_.filePath).filename().string();
  std::optional<std::string> draftFileName;
  for (const auto& [name, value] : settings_.metadata) {
    if (name == "filename") draftFileName = value;
  }
  HeaderFields fields = creationFields(dialect, settings_.headers, fileSize_, metadataValue_,
                                       draftFileName, bodyBytes, requestCompletes_);
  body_ = bodyBytes > 0 ? std::make_shared<FileSliceBody>(file_, 0, bodyBytes) : nullptr;
  if (body_) startProgress();
  startRequest(settings_.endpoint, "POST", std::move(fields), body_);
}

void ResumableUpload::sendFile() {
  setPhase(Phase::Sending);
  std::int64_t length = fileSize_ - offset_;
  if (caps_->dialect == ResumableDialect::IetfDraft && caps_->maxAppendSize &&
      *caps_->maxAppendSize > 0)
    length = std::min(length, *caps_->maxAppendSize);
  requestBase_ = offset_;
  requestLength_ = length;
  requestCompletes_ = offset_ + length == fileSize_;
  body_ = std::make_shared<FileSliceBody>(file_, offset_, length);
  startProgress();
  startRequest(
      *uploadUrl_, "PATCH",
      appendFields(caps_->dialect, callerHeadersFor(*uploadUrl_), offset_, requestCompletes_),
      body_);
}

void ResumableUpload::terminate(Outcome finalOutcome) {
  setPhase(Phase::Terminating);
  finalOutcome_ = std::move(finalOutcome);
  std::weak_ptr<ResumableUpload> weak = weak_from_this();
  // A server that does not answer must not hold the cancel up for long.
  waitTimer_ = startRepeatingTimer(MainContext::threadDefault(), kTerminationLimit, [weak] {
    if (auto self = weak.lock()) self->guarded([&] { self->end(self->finalOutcome_); });
  });
  startRequest(*uploadUrl_, "DELETE",
               terminationFields(caps_->dialect, callerHeadersFor(*uploadUrl_)), nullptr);
}

void ResumableUpload::startRequest(std::string url, std::string method, HeaderFields headers,
                                   std::shared_ptr<FileSliceBody> body) {
  HttpStream::Request request;
  request.url = std::move(url);
  request.method = std::move(method);
  request.headers = std::move(headers);
  request.bodySource = body;
  request.transfer = settings_.transfer;
  const unsigned serial = ++serial_;
  std::weak_ptr<ResumableUpload> weak = weak_from_this();
  stream_.reset(new HttpStream(std::move(request), [weak, serial](StreamEvent event) {
    if (auto self = weak.lock()) self->guarded([&] { self->onEvent(serial, event); });
  }));
  if (!stream_->start())
    fail(Outcome::failed(kWeirdReplyDomain, kCannotStart, "the request cannot be sent"));
}

// ---- Answers.

void ResumableUpload::onEvent(unsigned serial, StreamEvent event) {
  if (serial != serial_ || !stream_) return;  // a request that was given up
  // A cancel asked from another thread takes effect here, on the upload's own.
  if (cancel_->requested() && phase_ != Phase::Terminating) return cancel();
  switch (event) {
    case StreamEvent::HasBytesAvailable: {
      // Answer bodies carry nothing the upload needs.
      char buffer[kDrainBlock];
      while (stream_->read(buffer, sizeof buffer) > 0) {
      }
      break;
    }
    case StreamEvent::EndEncountered: {
      const ResponseHead head(stream_->statusCode(), stream_->serializedHead());
      // The stream may go from here on; the upload has what it needs.
      auto done = std::move(stream_);
      onAnswer(head);
      break;
    }
    case StreamEvent::ErrorOccurred: {
      const TransferError error = stream_->error();
      auto done = std::move(stream_);
      onTransferFailed(error);
      break;
    }
    default:
      break;
  }
}

void ResumableUpload::onAnswer(const ResponseHead& head) {
  switch (phase_) {
    case Phase::Probing:
      onProbeAnswer(head);
      break;
    case Phase::Discarding:
      createUpload();
      break;
    case Phase::Checking:
      onCheckAnswer(head);
      break;
    case Phase::Creating:
      onCreateAnswer(head);
      break;
    case Phase::Sending:
      onSendAnswer(head);
      break;
    case Phase::Terminating:
      end(finalOutcome_);
      break;
    default:
      break;
  }
}

void ResumableUpload::onProbeAnswer(const ResponseHead& head) {
  // A server that answers the probe with a client error just knows no
  // OPTIONS; it may still take tus requests.
  if (head.status() >= 500) return retryAfter(refusedWith(head.status()));
  const ServerCapabilities caps = capabilitiesFromProbe(head);
  if (caps.tusVersionRefused) return fail(refusedWith(412));
  if (caps.maxSize && fileSize_ > *caps.maxSize) return fail(refusedWith(413));
  caps_ = caps;
  if (!storeConsulted_) {
    storeConsulted_ = true;
    if (auto kept = store_.find(settings_.filePath, settings_.endpoint)) {
      if (kept->sameUpload(entry()) && kept->dialect == caps.dialect &&
          uploadUrlAcceptable(kept->uploadUrl)) {
        uploadUrl_ = kept->uploadUrl;
        takenFromStore_ = true;
      } else {
        // Kept for another version of the file: never resumed.
        return discardStale(*kept);
      }
    }
  }
  if (uploadUrl_) {
    check();
  } else {
    createUpload();
  }
}

void ResumableUpload::checkAfterBody() {
  check();
  checkingAfterBody_ = true;
}

void ResumableUpload::onCheckAnswer(const ResponseHead& head) {
  const bool afterBody = std::exchange(checkingAfterBody_, false);
  const int status = head.status();
  if (!isSuccess(status)) {
    if (takenFromStore_ && status >= 400 && status < 500) {
      // The kept upload is gone or no longer ours: start over.
      takenFromStore_ = false;
      uploadUrl_.reset();
      forgetEntry();
      return createUpload();
    }
    return onStatusRefused(status);
  }
  const auto offset = parseByteCount(head.field("Upload-Offset"));
  const auto length = parseByteCount(head.field("Upload-Length"));
  const bool usable = offset && *offset <= fileSize_ && (!length || *length == fileSize_);
  if (!usable) {
    if (takenFromStore_) {
      takenFromStore_ = false;
      uploadUrl_.reset();
      forgetEntry();
      return createUpload();
    }
    return fail(brokenProtocol());
  }
  // A body sent, then an offset that did not move: the attempt failed, and
  // counts against the retries like any other, or a server that never
  // keeps a byte would have the file sent again without end.
  if (afterBody && requestLength_ > 0 && *offset <= requestBase_)
    return retryAfter(brokenProtocol());
  noteServerOffset(*offset);
  offset_ = *offset;
  if (takenFromStore_ && offset_ > 0) {
    // Resumed from an earlier run: the host learns at once what is done.
    startProgress();
    sendProgress();
  }
  takenFromStore_ = false;
  if (caps_->dialect == ResumableDialect::IetfDraft) {
    if (parseStructuredBoolean(head.field("Upload-Complete")) == true) return complete(status);
  } else if (offset_ == fileSize_) {
    return complete(status);
  }
  sendFile();
}

void ResumableUpload::onCreateAnswer(const ResponseHead& head) {
  const int status = head.status();
  if (!isSuccess(status)) return onStatusRefused(status);
  const bool draft = caps_->dialect == ResumableDialect::IetfDraft;
  if (draft && requestCompletes_ && parseStructuredBoolean(head.field("Upload-Complete")) != false)
    return complete(status);  // an empty file: nothing to resume
  const auto location = head.field("Location");
  std::optional<std::string> url;
  if (location) url = resolveUrlReference(settings_.endpoint, *location);
  if (!url || !uploadUrlAcceptable(*url)) return fail(brokenProtocol());
  uploadUrl_ = url;
  std::optional<std::int64_t> expiry;
  if (auto expires = head.field("Upload-Expires")) expiry = parseHttpDate(*expires);
  if (!expiry && caps_->maxAgeSeconds) expiry = nowSeconds() + *caps_->maxAgeSeconds;
  saveEntry(expiry);
  if (requestLength_ > 0) {
    const auto offset = parseByteCount(head.field("Upload-Offset"));
    // Without the offset the server took, ask for it.
    if (!offset) return checkAfterBody();
    if (*offset > fileSize_) return fail(brokenProtocol());
    noteServerOffset(*offset);
    offset_ = *offset;
  } else {
    offset_ = 0;
  }
  if (!draft && offset_ == fileSize_) return complete(status);
  sendFile();
}

void ResumableUpload::onSendAnswer(const ResponseHead& head) {
  const int status = head.status();
  if (!isSuccess(status)) return onStatusRefused(status);
  const auto reported = parseByteCount(head.field("Upload-Offset"));
  if (caps_->dialect == ResumableDialect::IetfDraft) {
    const auto completed = parseStructuredBoolean(head.field("Upload-Complete"));
    if (completed == true || (requestCompletes_ && completed != false)) return complete(status);
    const std::int64_t offset = reported.value_or(requestBase_ + requestLength_);
    if (offset < requestBase_ || offset > fileSize_) return fail(brokenProtocol());
    // An append that moved nothing must not repeat without end; nor the
    // empty closing one that the server did not take as the end.
    if (offset == requestBase_ && (requestLength_ > 0 || requestCompletes_))
      return retryAfter(brokenProtocol());
    noteServerOffset(offset);
    offset_ = offset;
    return sendFile();
  }
  if (!reported) return checkAfterBody();
  if (*reported < requestBase_ || *reported > fileSize_) return fail(brokenProtocol());
  if (*reported == requestBase_ && requestLength_ > 0) return retryAfter(brokenProtocol());
  noteServerOffset(*reported);
  offset_ = *reported;
  if (offset_ == fileSize_) return complete(status);
  // The server took part of the body: the rest follows.
  sendFile();
}

void ResumableUpload::onStatusRefused(int status) {
  if (isRetryableStatus(status)) return retryAfter(refusedWith(status));
  // The upload is gone from the server: nothing left to resume.
  if (uploadUrl_ && (status == 404 || status == 410)) forgetEntry();
  fail(refusedWith(status));
}

void ResumableUpload::onTransferFailed(const TransferError& error) {
  if (phase_ == Phase::Terminating) return end(finalOutcome_);
  if (phase_ == Phase::Discarding) return createUpload();
  if (body_ && body_->failed()) {
    // The local file: unreadable, or changed since the upload began.
    if (body_->failureErrno() == 0 || !fileUnchanged()) return fileChanged();
    return fail(transferFailure(error));
  }
  if (isRetryableTransferError(error)) return retryAfter(transferFailure(error));
  fail(transferFailure(error));
}

// ---- Retries.

void ResumableUpload::noteServerOffset(std::int64_t offset) {
  // Progress since the last failure: the retries start counting again.
  if (offset > bestOffset_) {
    bestOffset_ = offset;
    attempts_ = 0;
  }
}

void ResumableUpload::retryAfter(Outcome failure) {
  stopTransfer();
  if (attempts_ >= settings_.retryDelays.size()) return fail(std::move(failure));
  const std::chrono::milliseconds delay = settings_.retryDelays[attempts_++];
  setPhase(Phase::Waiting);
  std::weak_ptr<ResumableUpload> weak = weak_from_this();
  waitTimer_ = startRepeatingTimer(MainContext::threadDefault(), delay, [weak] {
    if (auto self = weak.lock()) {
      self->guarded([&] {
        self->waitTimer_.reset();
        self->nextAttempt();
      });
    }
  });
}

void ResumableUpload::nextAttempt() {
  if (phase_ != Phase::Waiting) return;
  if (!fileUnchanged()) return fileChanged();
  if (!caps_) return probe();
  if (uploadUrl_) return check();
  createUpload();
}

// ---- Endings.

void ResumableUpload::complete(int status) {
  forgetEntry();
  offset_ = fileSize_;
  // The host sees the whole file sent before it hears of the completion.
  if (lastProgress_ < fileSize_) sendProgress();
  end(Outcome::succeeded(status));
}

void ResumableUpload::fail(Outcome failure) { end(failure); }

void ResumableUpload::fileChanged() {
  // What the server holds came from another version of the file: it is
  // worth nothing, here or in a later run.
  stopTransfer();
  forgetEntry();
  Outcome changed = Outcome::failed(kWeirdReplyDomain, kFileChanged, "the file changed meanwhile");
  if (uploadUrl_ && canTerminate()) return terminate(std::move(changed));
  end(changed);
}

void ResumableUpload::stopTransfer() {
  stream_.reset();
  body_.reset();
  waitTimer_.reset();
}

void ResumableUpload::end(const Outcome& outcome) {
  if (phase_ == Phase::Ended) return;
  setPhase(Phase::Ended);
  stopTransfer();
  progressTimer_.reset();
  file_.reset();
  // The owner may start a new upload from its message handler.
  Owner owner = std::move(owner_);
  if (owner.ended) owner.ended();
  if (owner.send) owner.send(finalMessageText(outcome));
  if (owner.finished) owner.finished(outcome);
}

// ---- Kept state.

bool ResumableUpload::fileUnchanged() const {
  const auto state = fileState(settings_.filePath);
  return state && state->first == fileSize_ && state->second == identity_.modifiedNs && file_ &&
         !file_->sizeChanged();
}

bool ResumableUpload::canTerminate() const { return caps_ && caps_->termination; }

bool ResumableUpload::uploadUrlAcceptable(const std::string& url) const {
  if (!schemeAllowed(TransferKind::Http, url)) return false;
  const auto to = urlOrigin(url);
  const auto from = urlOrigin(settings_.endpoint);
  // Never from https down to http: the file and the protocol's requests
  // would go in the clear.
  return to && from && !(from->scheme == "https" && to->scheme != "https");
}

HeaderFields ResumableUpload::callerHeadersFor(const std::string& url) const {
  // Another origin is another party: it gets the protocol's fields only,
  // never the caller's, which may carry credentials (Authorization, Cookie,
  // an API key in a header of any name).
  const auto to = urlOrigin(url);
  const auto from = urlOrigin(settings_.endpoint);
  if (to && from && *to == *from) return settings_.headers;
  return HeaderFields();
}

ResumeEntry ResumableUpload::entry() const {
  ResumeEntry entry;
  entry.filePath = settings_.filePath;
  entry.file = identity_;
  entry.endpoint = settings_.endpoint;
  entry.uploadUrl = uploadUrl_.value_or(std::string());
  entry.dialect = caps_ ? caps_->dialect : ResumableDialect::Tus;
  return entry;
}

void ResumableUpload::saveEntry(std::optional<std::int64_t> serverExpiry) {
  ResumeEntry kept = entry();
  kept.expiresAt = serverExpiry.value_or(nowSeconds() + kDefaultEntryLifetime);
  // Not kept means only that a later run cannot resume this upload.
  store_.save(kept);
}

void ResumableUpload::forgetEntry() { store_.remove(settings_.filePath, settings_.endpoint); }

void ResumableUpload::discardStale(const ResumeEntry& stale) {
  store_.remove(stale.filePath, stale.endpoint);
  if (stale.dialect != caps_->dialect || !caps_->termination ||
      !uploadUrlAcceptable(stale.uploadUrl))
    return createUpload();
  // Deleted on the server first; its outcome changes nothing here.
  setPhase(Phase::Discarding);
  startRequest(stale.uploadUrl, "DELETE",
               terminationFields(stale.dialect, callerHeadersFor(stale.uploadUrl)), nullptr);
}

// ---- Progress.

std::int64_t ResumableUpload::currentProgress() const {
  std::int64_t sent = offset_;
  if ((phase_ == Phase::Sending || phase_ == Phase::Creating) && stream_) {
    const std::int64_t written =
        std::clamp<std::int64_t>(stream_->requestBytesWritten(), 0, requestLength_);
    sent = std::max(sent, requestBase_ + written);
  }
  return std::clamp<std::int64_t>(std::max(sent, lastProgress_), 0, fileSize_);
}

void ResumableUpload::sendProgress() {
  lastProgress_ = currentProgress();
  if (owner_.send) owner_.send(progressMessageText(lastProgress_));
  if (owner_.progressed) owner_.progressed(lastProgress_, fileSize_);
}

}  // namespace zembrel::detail
