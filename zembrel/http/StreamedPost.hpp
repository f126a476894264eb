#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "zembrel/core/CancelToken.hpp"
#include "zembrel/core/Outcome.hpp"
#include "zembrel/detail/Owned.hpp"
#include "zembrel/http/PostProgress.hpp"
#include "zembrel/http/StreamedPostRequest.hpp"

namespace zembrel::detail {

class HttpStream;
class RepeatingTimer;
class ResponseSpool;
enum class StreamEvent : std::uint32_t;

// One streamed POST, from its start to its one outcome: the network stream
// that reads the body from the file while it sends, the answer as it arrives,
// the progress and rate timers, and the progress record.
//
// Runs on the GLib main context of the thread that calls start(), and is used
// and destroyed on that thread only (its cancel token may be asked from any
// thread; the POST notices at its next event). Held through a shared_ptr by
// its owner, which keeps it after the end to read its progress record; stream
// and timer callbacks hold a weak one.
class StreamedPost : public std::enable_shared_from_this<StreamedPost> {
 public:
  // How the POST reaches its owner. `send` delivers each host message;
  // `keepAlive` is held until the POST ends.
  struct Owner {
    std::function<void(const std::string&)> send;
    std::shared_ptr<void> keepAlive;
    // For an operation of its own (both optional): the file's bytes sent so
    // far and its size, at each progress step and once more when all is
    // sent; and the outcome, once, also after a cancel.
    std::function<void(std::int64_t done, std::int64_t total)> progressed;
    std::function<void(const Outcome& outcome)> finished;
    // For an operation of its own: the answer's body is kept in memory, up
    // to this many bytes, for takeAnswer() instead of being written to the
    // shared response file, which concurrent POSTs would overwrite; a longer
    // answer fails the POST ("Custom", 23) rather than be cut short. Absent:
    // the response file, as the instance's POSTs keep it.
    std::optional<std::size_t> keepAnswerUpTo;
  };

  // The answer kept for an operation of its own, once it ended well: each
  // header of the final answer as "Name: value\n", then an empty line; and
  // the decoded body.
  struct Answer {
    std::string headers;
    std::string body;
  };

  // `progress` is the record of the POST before (see PostProgress::nextUpload).
  StreamedPost(Owner owner, const PostProgress& progress, double progressInterval);
  StreamedPost(const StreamedPost&) = delete;
  StreamedPost& operator=(const StreamedPost&) = delete;
  ~StreamedPost();

  // Builds the request and starts it; returns at once. False when it cannot
  // start: the outcome is then a setup failure ("#error|Setup|0" sent).
  bool start(const StreamedPostArguments& arguments);
  // Ends the POST without a message; harmless once it has ended.
  void cancel();

  bool running() const { return phase_ == Phase::Running; }
  bool holdsAnswer() const { return responseData_ != nullptr; }
  bool timersRunning() const { return progEventTimer_ != nullptr; }
  // The progress record; its estimate moves the floor, so it is not const.
  PostProgress& progress() { return progress_; }
  const PostProgress& progress() const { return progress_; }
  // See Owner::keepAnswerUpTo: the answer, handed over once; absent for
  // other POSTs, and unless the POST ended well.
  std::optional<Answer> takeAnswer() { return std::exchange(answer_, std::nullopt); }
  // The token a canceller asks; the POST ends at its next event once asked.
  const CancelTokenPtr& cancelToken() const { return cancel_; }

 private:
  enum class Phase {
    Idle,     // made, not started
    Running,  // the request is under way
    Ended,    // the outcome is known and sent (or withheld after a cancel)
  };

  void setPhase(Phase next) { phase_ = next; }
  void onEvent(StreamEvent event);
  void onBytesAvailable();
  // Keeps the answer's bytes where the owner wants them; false when they
  // cannot be kept, the POST then has ended.
  bool keepAnswerBytes(std::string_view bytes);
  void onAnswerComplete();
  void startTimers();
  void sendProgress();
  // The file's bytes sent so far, in proportion to the body written: the
  // multipart fields around the file count as they go.
  std::int64_t fileBytesSent() const;
  // Tears the transfer down, then sends the outcome's message (none for a
  // cancel) and lets the owner go.
  void end(const Outcome& outcome);
  void tearDown();

  Owner owner_;
  CancelTokenPtr cancel_ = makeCancelToken();
  PostProgress progress_;
  double progressInterval_;  // seconds
  bool sendsFile_ = false;   // progress timers run only for a file
  Phase phase_ = Phase::Idle;
  Owned<HttpStream> stream_;
  Owned<ResponseSpool> responseData_;  // the answer so far, mostly on disk
  std::optional<std::size_t> answerCap_;  // see Owner::keepAnswerUpTo
  std::string answerBody_;                // the answer so far, when kept in memory
  std::optional<Answer> answer_;
  Owned<RepeatingTimer> progEventTimer_;
  Owned<RepeatingTimer> uploadRateTimer_;
};

}  // namespace zembrel::detail
