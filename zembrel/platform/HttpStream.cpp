#include "zembrel/platform/HttpStream.hpp"

#include <curl/curl.h>
#include <glib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "zembrel/platform/Clock.hpp"
#include "zembrel/platform/CurlDriver.hpp"
#include "zembrel/platform/CurlHeaders.hpp"
#include "zembrel/platform/Handles.hpp"
#include "zembrel/platform/RunLoop.hpp"
#include "zembrel/platform/TransferPolicy.hpp"

namespace zembrel::detail {
namespace {

// Response bytes waiting for the client beyond which libcurl is paused. One
// pass of libcurl can receive and decode far more (a compressed answer of a
// few MB expands to a GB), and its own buffer while paused holds at most what
// one received block decodes to.
constexpr std::size_t kPendingHighMark = std::size_t{4} << 20;

// Blocks libcurl reads from the body per call: larger than its 64 KiB default,
// which costs measurably more system calls and wake-ups on fast links.
constexpr long kUploadBufferSize = 512 * 1024;

}  // namespace

// libcurl's handles for one transfer and the driver that runs it.
struct HttpStream::Curl {
  CurlEasyPtr easy;
  CurlSlistPtr headers;
  std::unique_ptr<CurlDriver> driver;
  static size_t writeCallback(char* data, size_t size, size_t count, void* self) noexcept {
    try {
      return static_cast<HttpStream*>(self)->onResponseBytes(data, size * count);
    } catch (...) {
      return CURL_WRITEFUNC_ERROR;
    }
  }
  static size_t headerCallback(char* data, size_t size, size_t count, void* self) noexcept {
    try {
      static_cast<HttpStream*>(self)->onHeaderLine(data, size * count);
    } catch (...) {
      return 0;  // anything but the full count fails the transfer
    }
    return size * count;
  }
  static size_t readCallback(char* buffer, size_t size, size_t count, void* self) noexcept {
    return static_cast<HttpStream*>(self)->onBodyRead(buffer, size * count);
  }
  static int progressCallback(void* self, curl_off_t, curl_off_t, curl_off_t,
                              curl_off_t uploaded) noexcept {
    // Non-zero aborts the transfer (CURLE_ABORTED_BY_CALLBACK).
    return static_cast<HttpStream*>(self)->onProgress(static_cast<std::int64_t>(uploaded)) ? 0 : 1;
  }
  static int connectedCallback(void* self, char*, char*, int, int) noexcept {
    static_cast<HttpStream*>(self)->connected_ = true;
    return CURL_PREREQFUNC_OK;
  }
};

HttpStream::HttpStream(Request request, Client client, std::shared_ptr<void> keepAlive)
    : request_(std::move(request)), client_(std::move(client)), keepAlive_(std::move(keepAlive)) {}

HttpStream::~HttpStream() {
  if (!curl_) return;
  // The driver goes first: it still needs the handle to remove it.
  if (curl_->driver && curl_->easy) curl_->driver->remove(curl_->easy.get());
  curl_->driver.reset();
  curl_->easy.reset();
}

template <>
void Destroy<HttpStream>::operator()(HttpStream* stream) const noexcept {
  delete stream;
}

bool HttpStream::start() {
  if (state_ != State::Created || !schemeAllowed(TransferKind::Http, request_.url)) return false;
  const std::string& method = request_.method;
  const bool sendsBody = method == "POST" || method == "PATCH";
  if (!sendsBody && method != "HEAD" && method != "OPTIONS" && method != "DELETE") return false;
  curl_ = std::make_unique<Curl>();
  curl_->driver = std::make_unique<CurlDriver>([this] { afterPass(); });
  curl_->easy.reset(curl_easy_init());
  if (!curl_->driver->valid() || !curl_->easy) return false;

  CURL* easy = curl_->easy.get();
  applyTransferPolicy(easy, TransferKind::Http, request_.url, request_.transfer);
  curl_easy_setopt(easy, CURLOPT_URL, request_.url.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long{CURL_HTTP_VERSION_1_1});
  if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (!sendsBody) {
    // A request without a body under the method's own name.
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  } else {
    // PATCH sends its body as a POST does, under its own name.
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    bodySize_ = request_.bodySource ? request_.bodySource->size()
                                    : static_cast<std::int64_t>(request_.bodyBytes.size());
    if (request_.bodySource) {
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{request_.bodySource->size()});
      curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Curl::readCallback);
      curl_easy_setopt(easy, CURLOPT_READDATA, this);
    } else {
      // request_ outlives the handle, so libcurl may send from it without a copy.
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request_.bodyBytes.size()));
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request_.bodyBytes.data());
    }
  }

  // The request carries exactly the headers given: no "Expect: 100-continue",
  // which would also stall a second on servers that never answer it, no
  // Accept-Encoding of libcurl's (it still decodes what the caller asks for)
  // and no form Content-Type that libcurl would add to a body-less POST.
  curl_->headers = curlHeaderList(request_.headers, {"Expect", "Accept-Encoding", "Content-Type"});
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, curl_->headers.get());

  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Curl::writeCallback);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Curl::headerCallback);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Curl::progressCallback);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Curl::connectedCallback);
  curl_easy_setopt(easy, CURLOPT_PREREQDATA, this);
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);

  curl_->driver->attach(MainContext::threadDefault());
  // The transfer begins at the context's next iteration.
  if (!curl_->driver->add(easy)) return false;
  setState(State::Running);
  return true;
}

std::ptrdiff_t HttpStream::read(char* buffer, std::size_t capacity) {
  const std::size_t count = std::min(pending_.size() - pendingOffset_, capacity);
  std::memcpy(buffer, pending_.data() + pendingOffset_, count);
  pendingOffset_ += count;
  if (pendingOffset_ == pending_.size()) {
    pending_.clear();
    pendingOffset_ = 0;
  }
  return static_cast<std::ptrdiff_t>(count);
}

void HttpStream::afterPass() {
  std::weak_ptr<int> alive = lifetime_;
  reannounce_ = false;
  collectDone();
  deliverEvents();
  if (alive.expired()) return;  // the client destroyed the stream
  resumeWhenDrained();
  if (reannounce_) curl_->driver->wake();
}

void HttpStream::collectDone() {
  for (const CurlDriver::Done& done : curl_->driver->takeDone()) {
    const auto result = static_cast<CURLcode>(done.result);
    long status = 0;
    curl_easy_getinfo(curl_->easy.get(), CURLINFO_RESPONSE_CODE, &status);
    statusCode_ = static_cast<int>(status);
    if (result == CURLE_OK) {
      setState(State::Draining);
    } else {
      // A body that failed keeps the error it recorded; libcurl only knows
      // that its read was aborted.
      if (answerLate_) {
        error_ = mapTransferError(nullptr, CURLE_OPERATION_TIMEDOUT);
        error_.message = "the answer did not complete within " + std::to_string(answerSeconds_) +
                         " s of the request being sent";
      } else if (!bodyFailed_) {
        error_ = mapTransferError(curl_->easy.get(), result);
      }
      setState(State::Failed);
    }
  }
}

void HttpStream::deliverEvents() {
  std::weak_ptr<int> alive = lifetime_;
  auto announce = [&](StreamEvent event) {
    client_(event);
    return !alive.expired();
  };
  if (connected_ && !openAnnounced_) {
    openAnnounced_ = true;
    if (!announce(StreamEvent::OpenCompleted)) return;
  }
  if (state_ == State::Failed) {
    if (!failureAnnounced_) {
      failureAnnounced_ = true;
      announce(StreamEvent::ErrorOccurred);
    }
    return;
  }
  auto waiting = [this] { return pending_.size() - pendingOffset_; };
  // Announced until the client has read all, so libcurl is paused only when
  // one pass of it brought more than the high mark.
  bool consumed = true;
  while (waiting() > 0 && consumed) {
    const std::size_t before = waiting();
    if (!announce(StreamEvent::HasBytesAvailable)) return;
    if (state_ == State::Failed) return;  // the client may have failed it
    consumed = waiting() < before;
  }
  // A client that stopped reading is asked again when new bytes arrive, not
  // in a busy loop.
  reannounce_ = waiting() > 0 && consumed;
  if (state_ == State::Draining && waiting() == 0) {
    setState(State::Ended);
    announce(StreamEvent::EndEncountered);
  }
}

void HttpStream::resumeWhenDrained() {
  if (!paused_ || !curl_ || pending_.size() > pendingOffset_) return;
  paused_ = false;
  // libcurl may hand over the bytes it held back from inside this call.
  curl_easy_pause(curl_->easy.get(), CURLPAUSE_CONT);
  if (pending_.size() > pendingOffset_) reannounce_ = true;
  // libcurl 7.88 does not always ask for a prompt timeout after a resume; it
  // would watch its socket again only at its next timer, 200 ms or more
  // later. The driver runs it at its next pass.
  curl_->driver->wake();
}

std::size_t HttpStream::onResponseBytes(const char* data, std::size_t size) {
  if (pending_.size() - pendingOffset_ >= kPendingHighMark) {
    // libcurl keeps these bytes and offers them again after the resume.
    paused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  // Past the answer limit a short count ends the transfer (CURLE_WRITE_ERROR).
  if (!answerBudget_.take(size)) return 0;
  if (pendingOffset_ > 0 && pendingOffset_ >= pending_.size() / 2) {
    pending_.erase(0, pendingOffset_);
    pendingOffset_ = 0;
  }
  pending_.append(data, size);
  return size;
}

void HttpStream::onHeaderLine(const char* data, std::size_t size) {
  std::string_view line(data, size);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.substr(0, 5) == "HTTP/") {
    // A new status line: an interim answer came before; keep only the last.
    head_.clear();
    headComplete_ = false;
  } else if (headComplete_) {
    return;  // trailers after the body are not part of the head
  }
  head_.append(line);
  head_ += "\r\n";
  if (!line.empty()) return;
  headComplete_ = true;
  // "HTTP/1.1 100 Continue": an interim answer, after which the body may
  // still take long to send; only a final head begins the answer.
  const std::size_t space = head_.find(' ');
  answerBegun_ = space != std::string::npos && space + 1 < head_.size() && head_[space + 1] != '1';
}

std::string HttpStream::headerLines() const {
  std::string lines;
  std::string_view rest = head_;
  bool statusLine = true;
  while (!rest.empty()) {
    const std::size_t end = rest.find("\r\n");
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
    const std::size_t colon = line.find(':');
    if (std::exchange(statusLine, false) || colon == std::string_view::npos) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    lines.append(line.substr(0, colon));
    lines += ": ";
    lines.append(value);
    lines += '\n';
  }
  lines += '\n';
  return lines;
}

bool HttpStream::onProgress(std::int64_t uploaded) {
  bytesWritten_ = uploaded;
  // The clock starts when the body is all sent, or when the answer has come
  // before that (a server that answers without reading the whole body).
  if (uploaded < bodySize_ && !answerBegun_) return true;
  // libcurl calls this at least once a second while the transfer runs, also
  // while nothing moves, so the deadline is checked in time.
  const double now = monotonicSeconds();
  if (!requestSentAt_) requestSentAt_ = now;
  answerLate_ = now - *requestSentAt_ > static_cast<double>(answerSeconds_);
  return !answerLate_;
}

std::size_t HttpStream::onBodyRead(char* buffer, std::size_t capacity) {
  std::ptrdiff_t count = -1;
  int osError = 0;
  try {
    count = request_.bodySource->read(buffer, capacity);
    if (count < 0) osError = request_.bodySource->failureErrno();
  } catch (...) {
    count = -1;
  }
  if (count >= 0) return static_cast<std::size_t>(count);
  bodyFailed_ = true;
  if (osError != 0) {
    error_ = TransferError{"POSIX", osError, std::strerror(osError)};
  } else {
    // The body no longer matches its announced length (its file changed).
    error_ = TransferError{"Custom", CURLE_READ_ERROR, "request body changed while being sent"};
  }
  return CURL_READFUNC_ABORT;
}

}  // namespace zembrel::detail
