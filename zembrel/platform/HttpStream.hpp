#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zembrel/platform/HeaderFields.hpp"
#include "zembrel/platform/TransferError.hpp"
#include "zembrel/platform/TransferPolicy.hpp"

namespace zembrel::detail {

// Events a stream reports to its client, numbered as stream clients know them.
enum class StreamEvent : std::uint32_t {
  OpenCompleted = 1,      // connected; the request is about to go out
  HasBytesAvailable = 2,  // response bytes wait to be read
  ErrorOccurred = 8,      // the transfer failed; see error()
  EndEncountered = 16,    // the whole response has been read
};

// A request body pulled by the stream as the connection accepts bytes. Read on
// the stream's thread, front to back, once.
class RequestBody {
 public:
  virtual ~RequestBody() = default;

  // Bytes the body will produce: the request's Content-Length.
  virtual std::int64_t size() const = 0;

  // Fills up to `capacity` bytes. Returns the count (0 only once the whole
  // body has been read) or -1 when the body cannot be produced as announced.
  virtual std::ptrdiff_t read(char* buffer, std::size_t capacity) = 0;

  // After a failed read: the OS error number, or 0 when the source ended early
  // or grew (it no longer matches the size announced).
  virtual int failureErrno() const = 0;
};

// One HTTP request on a CurlDriver attached to the GLib main context of the
// thread that calls start(): no thread of its own. Events reach the client
// on that thread, from that context's dispatch, never from inside start() or a
// method call. Use and destroy the stream on that thread only; destroying it
// (also from inside the client's callback) stops the transfer and its events.
class HttpStream {
 public:
  struct Request {
    std::string url;       // http or https
    // "POST" and "PATCH" send the body below; "HEAD", "OPTIONS" and "DELETE"
    // send none. Any other method is refused by start().
    std::string method = "POST";
    HeaderFields headers;  // sent in this order
    // The body: `bodySource` when set, else the bytes of `bodyBytes` (maybe none).
    std::string bodyBytes;
    std::shared_ptr<RequestBody> bodySource;
    TransferSettings transfer;  // the operation's own limits, trust and proxy
  };
  using Client = std::function<void(StreamEvent)>;

  // `keepAlive` is held for as long as the stream exists (an owner that must
  // outlive the transfer); the client is called without holding anything.
  HttpStream(Request request, Client client, std::shared_ptr<void> keepAlive = nullptr);
  HttpStream(const HttpStream&) = delete;
  HttpStream& operator=(const HttpStream&) = delete;
  ~HttpStream();

  // Starts the transfer on the calling thread's main context. Proxies come from
  // the environment as it is now. False when the request cannot be sent at all
  // (a URL that is not http or https, a method it does not send, libcurl
  // refusing the handle).
  bool start();

  // Moves up to `capacity` gathered response bytes into `buffer`: the count, or
  // 0 when none wait. While bytes wait, HasBytesAvailable is announced again.
  std::ptrdiff_t read(char* buffer, std::size_t capacity);

  // Request body bytes handed to the connection so far.
  std::int64_t requestBytesWritten() const { return bytesWritten_; }

  // Head of the final response (interim 1xx answers are skipped): its status
  // code (0 before one arrived) and its status line and header lines, each
  // ended by CR LF, then an empty line.
  int statusCode() const { return statusCode_; }
  const std::string& serializedHead() const { return head_; }
  // The same head's header fields as the synchronous loader gives them: one
  // "Name: value\n" line each (blanks around the value dropped), in the
  // order received, then an empty line.
  std::string headerLines() const;

  // Why the transfer failed, after ErrorOccurred. An answer not complete
  // within the answer limit (TransferLimits::answerSeconds) after the
  // request was sent whole fails as a timeout ("Custom", 28).
  const TransferError& error() const { return error_; }

 private:
  enum class State {
    Created,   // start() not called yet
    Running,   // the transfer is under way
    Draining,  // the transfer is done; gathered bytes may still wait
    Ended,     // EndEncountered announced
    Failed,    // the transfer failed; ErrorOccurred announced or due
  };
  struct Curl;

  void setState(State next) { state_ = next; }
  void afterPass();
  void collectDone();
  void deliverEvents();
  void resumeWhenDrained();
  std::size_t onResponseBytes(const char* data, std::size_t size);
  void onHeaderLine(const char* data, std::size_t size);
  std::size_t onBodyRead(char* buffer, std::size_t capacity);
  // From libcurl's progress: false once the answer has passed its deadline.
  bool onProgress(std::int64_t uploaded);

  Request request_;
  Client client_;
  std::shared_ptr<void> keepAlive_;
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);  // watched by afterPass
  std::unique_ptr<Curl> curl_;
  State state_ = State::Created;
  bool reannounce_ = false;         // response bytes still wait for the client
  bool connected_ = false;
  bool openAnnounced_ = false;
  bool failureAnnounced_ = false;
  bool headComplete_ = false;
  bool answerBegun_ = false;  // a final (not 1xx) head has come whole
  bool bodyFailed_ = false;
  // Response bytes gathered but not yet read: the client reads all of them in
  // each dispatch, and libcurl is paused while more than a few MB wait.
  std::string pending_;
  std::size_t pendingOffset_ = 0;
  AnswerBudget answerBudget_;
  bool paused_ = false;  // libcurl's receiving waits until the client has read all
  std::int64_t bytesWritten_ = 0;
  std::int64_t bodySize_ = 0;  // the request body's bytes, 0 without one
  // When the request had been sent whole (monotonic seconds), and the
  // answer's limit from then on.
  std::optional<double> requestSentAt_;
  long answerSeconds_ = transferLimits().answerSeconds;
  bool answerLate_ = false;
  int statusCode_ = 0;
  std::string head_;
  TransferError error_;
};

}  // namespace zembrel::detail
