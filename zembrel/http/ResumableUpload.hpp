#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zembrel/core/CancelToken.hpp"
#include "zembrel/core/Outcome.hpp"
#include "zembrel/detail/Owned.hpp"
#include "zembrel/http/ResumableProtocol.hpp"
#include "zembrel/http/ResumeStore.hpp"
#include "zembrel/platform/HeaderFields.hpp"
#include "zembrel/platform/TransferPolicy.hpp"

namespace zembrel::detail {

class File;
class FileSliceBody;
class HttpStream;
class RepeatingTimer;
struct TransferError;
enum class StreamEvent : std::uint32_t;

// One resumable upload of a local file, from the probe of the endpoint to its
// one final message: it creates the upload on the server (or takes up one kept
// from an earlier run), sends the file from the server's offset, and after a
// failed attempt waits, asks the server for its offset and goes on from there.
//
// Runs on the GLib main context of the thread that calls start(), and is used
// and destroyed on that thread only. Held through a shared_ptr by its owner;
// stream and timer callbacks hold a weak one.
class ResumableUpload : public std::enable_shared_from_this<ResumableUpload> {
 public:
  struct Settings {
    std::string endpoint;  // http or https
    std::string filePath;  // absolute
    std::vector<std::pair<std::string, std::string>> metadata;
    HeaderFields headers;  // the caller's, sent with every request
    // Waits before each retry; their count is the number of retries after
    // one another without the server's offset moving on.
    std::vector<std::chrono::milliseconds> retryDelays;
    std::chrono::duration<double> progressInterval{1.0};
    std::filesystem::path stateFolder;  // where resumable uploads are kept
    TransferSettings transfer;          // the operation's own limits, trust and proxy
  };

  // How the upload reaches its owner. `send` delivers each host message;
  // `ended` is called once, right before the final message, when the upload
  // no longer runs; `keepAlive` is held until then.
  struct Owner {
    std::function<void(const std::string&)> send;
    std::function<void()> ended;
    std::shared_ptr<void> keepAlive;
    // For an operation of its own (both optional): the file's bytes sent so
    // far and its size, at each progress step and once more when all is
    // sent (never less than before); and the outcome, once, also after a cancel.
    std::function<void(std::int64_t done, std::int64_t total)> progressed;
    std::function<void(const Outcome& outcome)> finished;
  };

  // Opens the file and checks the settings; null when the upload cannot
  // start (no readable regular file, an endpoint that is not http or https,
  // metadata that cannot be sent).
  static std::shared_ptr<ResumableUpload> create(Settings settings, Owner owner);

  ResumableUpload(Settings settings, Owner owner, std::shared_ptr<File> file, FileIdentity identity,
                  std::optional<std::string> metadataValue);
  ResumableUpload(const ResumableUpload&) = delete;
  ResumableUpload& operator=(const ResumableUpload&) = delete;
  ~ResumableUpload();

  // The upload's URL, once the server named it (or an earlier run kept it).
  const std::optional<std::string>& uploadUrl() const { return uploadUrl_; }

  // Begins with the probe of the endpoint; returns at once.
  void start();
  // Gives the upload up: it is deleted on the server where the server allows
  // it, its kept state is removed, and "#error|Upload Cancelled|0" follows.
  // Harmless once the upload has ended.
  void cancel();
  // The token a canceller on another thread asks; the upload gives up at its
  // next event. Asking it after the end changes nothing.
  const CancelTokenPtr& cancelToken() const { return cancel_; }

 private:
  enum class Phase {
    Idle,         // created, not started
    Probing,      // OPTIONS: the endpoint's dialect and extensions
    Discarding,   // DELETE: the upload of an older version of the file
    Checking,     // HEAD: the server's offset of a known upload
    Creating,     // POST: a new upload, perhaps with its first bytes
    Sending,      // PATCH: the file from the server's offset
    Waiting,      // the pause before the next attempt
    Terminating,  // DELETE: the upload is given up on the server
    Ended,        // the final message is sent
  };

  void setPhase(Phase next) { phase_ = next; }
  // Runs one step of a callback; a failure in it ends the upload.
  template <class Step>
  void guarded(Step step) noexcept;

  void probe();
  void check();
  // Asks for the offset after an answer to a body that did not give it.
  void checkAfterBody();
  void createUpload();
  void sendFile();
  void terminate(Outcome finalOutcome);
  void startRequest(std::string url, std::string method, HeaderFields headers,
                    std::shared_ptr<FileSliceBody> body);
  void onEvent(unsigned serial, StreamEvent event);
  void onAnswer(const ResponseHead& head);
  void onProbeAnswer(const ResponseHead& head);
  void onCheckAnswer(const ResponseHead& head);
  void onCreateAnswer(const ResponseHead& head);
  void onSendAnswer(const ResponseHead& head);
  void onTransferFailed(const TransferError& error);
  void onStatusRefused(int status);
  void retryAfter(Outcome failure);
  void nextAttempt();
  void noteServerOffset(std::int64_t offset);
  void complete(int status);
  void fail(Outcome failure);
  void fileChanged();
  // Ends the upload in its one outcome, and tells the owner.
  void end(const Outcome& outcome);
  void stopTransfer();

  bool fileUnchanged() const;
  bool canTerminate() const;
  // Whether requests may go to an upload URL the server named: http or
  // https, and never from an https endpoint to http.
  bool uploadUrlAcceptable(const std::string& url) const;
  // The caller's headers for a request to `url`: all of them on the
  // endpoint's origin, none elsewhere.
  HeaderFields callerHeadersFor(const std::string& url) const;
  ResumeEntry entry() const;
  void saveEntry(std::optional<std::int64_t> serverExpiry);
  void forgetEntry();
  void discardStale(const ResumeEntry& stale);
  void startProgress();
  std::int64_t currentProgress() const;
  void sendProgress();

  Settings settings_;
  Owner owner_;
  std::shared_ptr<File> file_;  // open for the whole upload
  std::int64_t fileSize_ = 0;
  FileIdentity identity_;                     // which version of the file this upload sends
  std::optional<std::string> metadataValue_;  // the tus Upload-Metadata value
  ResumeStore store_;

  CancelTokenPtr cancel_ = makeCancelToken();
  Phase phase_ = Phase::Idle;
  std::optional<ServerCapabilities> caps_;  // known once the probe answered
  std::optional<std::string> uploadUrl_;    // known once created or taken up
  bool storeConsulted_ = false;             // an entry of an earlier run was looked for
  bool takenFromStore_ = false;             // uploadUrl_ comes from an earlier run, unchecked
  std::int64_t offset_ = 0;                 // bytes the server has confirmed
  std::int64_t bestOffset_ = 0;             // highest offset seen; retries restart past it
  std::int64_t requestBase_ = 0;            // offset where the body in flight starts
  std::int64_t requestLength_ = 0;          // bytes of the body in flight
  bool requestCompletes_ = false;           // the body in flight ends the upload
  std::size_t attempts_ = 0;                // retries since the offset last moved on
  bool checkingAfterBody_ = false;          // the HEAD in flight follows a body without an offset
  std::int64_t lastProgress_ = 0;
  Outcome finalOutcome_;  // sent once the termination is over

  unsigned serial_ = 0;  // of the request in flight; older events are ignored
  Owned<HttpStream> stream_;
  std::shared_ptr<FileSliceBody> body_;
  Owned<RepeatingTimer> progressTimer_;
  Owned<RepeatingTimer> waitTimer_;  // back-off, or the limit of a termination
};

}  // namespace zembrel::detail
