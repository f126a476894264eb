#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zembrel/platform/HeaderFields.hpp"
#include "zembrel/platform/TransferError.hpp"
#include "zembrel/platform/TransferPolicy.hpp"

typedef void CURL;

namespace zembrel::detail {

// Attaches an easy handle to the process-wide session: one libcurl share that
// holds the cookie store and the DNS cache for every HTTP transfer of the
// process (streamed and simple POSTs alike), guarded by the share's locks.
// Cookies are on for the handle (the in-memory cookie engine).
void attachSharedSession(CURL* easy);

// One request of the synchronous loader.
struct UrlRequest {
  std::string url;       // http or https
  HeaderFields headers;  // sent as they are, in order
  // Sent as a POST; absent: a GET. libcurl's own form Content-Type and
  // "Expect: 100-continue" are left out: the request carries only `headers`.
  std::optional<std::string> body;
  std::string defaultUserAgent;  // sent when `headers` has no User-Agent
  TransferSettings transfer;     // the operation's own limits, trust and proxy
};

// What the loader learnt of the answer.
struct UrlResponse {
  std::optional<TransferError> error;  // set when the transfer failed
  int statusCode = 0;
  // "Name: value\n" for each header of the final answer (after redirects), in
  // the order received, then an empty line.
  std::string head;
};

// Runs the request on the calling thread, under the transfer policy, following
// up to 20 redirects (http and https only), for 600 s at most. The answer's
// body goes to `sink` as it arrives, decoded when the server compressed it; a
// sink that returns false ends the transfer ("Custom" 23), as does an answer
// past the answer limit. `giveUp`, when set, is asked at least every 250 ms;
// when it says so the transfer ends as aborted ("Custom" 42).
UrlResponse loadSynchronously(const UrlRequest& request,
                              const std::function<bool(std::string_view bytes)>& sink,
                              const std::function<bool()>& giveUp = {});

// A cookie of the process-wide store.
struct SessionCookie {
  std::string domain;    // ".example.com" for a domain cookie, the host for a host-only one
  long long expiry = 0;  // seconds since 1970; 0 = ends with the session
  std::string name;
  std::string value;
};

// The cookies of the process-wide store in the store's order, expired ones
// that the store has not purged yet left out (they are never sent).
std::vector<SessionCookie> sessionCookies();

}  // namespace zembrel::detail
