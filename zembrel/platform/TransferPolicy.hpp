#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

typedef void CURL;

namespace zembrel::detail {

// What a transfer is for; it decides which URL schemes its handle accepts.
enum class TransferKind {
  Http,  // the POSTs: http and https
  Ftp,   // every FTP operation: ftp, ftps, ftpes (explicit TLS), sftp
};

// The limits every transfer obeys.
struct TransferLimits {
  // A transfer on which not one byte moves for this long fails.
  long stallSeconds = 60;
  // Most bytes of decoded answer that one transfer keeps or saves.
  std::int64_t maxAnswerBytes = std::int64_t{1} << 30;
  // Seconds an HTTP answer may take, from the moment the request (its body
  // included) has been sent whole to the answer's last byte; a server that
  // trickles its answer just fast enough for the stall limit ends there.
  // (An answer that begins before the body is sent whole starts the clock.)
  // The synchronous request's overall limit is the same.
  long answerSeconds = 600;
};

// What one operation asks of its transfers in place of the library's
// defaults; each absent member keeps the default (and the environment's
// choice, where the default comes from there). None can weaken TLS
// verification: a CA file replaces the trusted certificates, it never turns
// the check off.
struct TransferSettings {
  std::optional<long> connectSeconds;  // without a connection by then: fails
  std::optional<long> stallSeconds;    // not one byte moving for this long: fails
  std::optional<std::string> caFile;   // PEM certificates trusted for TLS
  // The proxy for every scheme ("" for none); absent: the environment's.
  std::optional<std::string> proxy;
};

// The limits in force: the defaults above, unless a test replaced them.
TransferLimits transferLimits();
// For tests only, so that a stall or a flood ends in seconds: replaces the
// limits of transfers that start afterwards; absent restores the defaults.
void overrideTransferLimitsForTesting(const TransferLimits* limits);

// Whether the URL's scheme is one that transfers of `kind` accept.
bool schemeAllowed(TransferKind kind, const std::string& url);

// Sets what every transfer of the library obeys, whatever the operation:
// only the kind's schemes (on redirects too, and never from https to http),
// the stall limit, a connect limit, TLS verification (against SSL_CERT_FILE /
// SSL_CERT_DIR when they are set, else the system store), no signals, the
// proxy of the environment as it is now (Proxy.hpp), and for HTTP the
// process-wide session (cookies, DNS cache); `settings` replace the limits,
// the trusted certificates and the proxy for one operation. Call on a new or
// reset handle, before the operation sets its own options; the operation
// must not weaken these.
void applyTransferPolicy(CURL* easy, TransferKind kind, const std::string& url,
                         const TransferSettings& settings = {});

// Counts the decoded answer bytes of one transfer against the answer limit.
// Counted after libcurl's content decoding, so a small compressed answer
// cannot expand past the cap either.
class AnswerBudget {
 public:
  // False when `bytes` more would pass the cap: the write callback then
  // returns a short count and libcurl ends the transfer with CURLE_WRITE_ERROR.
  bool take(std::size_t bytes) {
    if (static_cast<std::int64_t>(bytes) > limit_ - used_) return false;
    used_ += static_cast<std::int64_t>(bytes);
    return true;
  }
  std::int64_t used() const { return used_; }

 private:
  std::int64_t limit_ = transferLimits().maxAnswerBytes;
  std::int64_t used_ = 0;
};

}  // namespace zembrel::detail
