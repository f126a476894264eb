#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zembrel/core/CancelToken.hpp"
#include "zembrel/core/Outcome.hpp"
#include "zembrel/platform/UrlSession.hpp"

namespace zembrel::detail {

// The request of a simple request: a GET, or with fields a POST whose body
// `postEncoding` shapes ("urlencoded", "raw": the first field as it is,
// "multipart", anything else: multipart without naming its type), with the
// user agent (the library's when empty) and the caller's header pairs last,
// replacing ours.
UrlRequest simpleUrlRequest(const std::string& url, const std::string& userAgent,
                            const std::optional<std::vector<std::string>>& fieldValuePairs,
                            const std::optional<std::string>& postEncoding,
                            const std::optional<std::vector<std::string>>& headerValuePairs);

// One simple request: sent synchronously on the calling thread (the one
// transfer driver on a private context of that thread), its answer spooled
// as it arrives and saved as the response file only once it is whole. Ends
// in one outcome: succeeded with the final answer's status (any status), or
// failed with the transfer's domain and code (the response file untouched),
// or cancelled when its token was asked from another thread meanwhile.
class SimpleRequest {
 public:
  explicit SimpleRequest(UrlRequest request) : request_(std::move(request)) {}
  SimpleRequest(const SimpleRequest&) = delete;
  SimpleRequest& operator=(const SimpleRequest&) = delete;

  Outcome run();

  const CancelTokenPtr& cancelToken() const { return cancel_; }
  // Answer bytes received so far (decoded); read on the running thread.
  std::int64_t bytesReceived() const { return bytesReceived_; }

 private:
  UrlRequest request_;
  CancelTokenPtr cancel_ = makeCancelToken();
  std::int64_t bytesReceived_ = 0;
};

}  // namespace zembrel::detail
