#include "zembrel/http/SimpleRequest.hpp"

#include "zembrel/http/ResponseFile.hpp"

namespace zembrel::detail {

Outcome SimpleRequest::run() {
  ResponseSpool answer;
  const CancelTokenPtr token = cancel_;
  const UrlResponse response = loadSynchronously(
      request_,
      [this, &answer](std::string_view bytes) {
        bytesReceived_ += static_cast<std::int64_t>(bytes.size());
        return answer.append(bytes);
      },
      [token] { return token->requested(); });
  if (token->requested()) return Outcome::cancelled();
  if (response.error)
    return Outcome::failed(response.error->domain, response.error->code, response.error->message);
  // Not reported when it fails: the answer itself arrived.
  answer.saveAsResponseFile(response.head);
  return Outcome::succeeded(response.statusCode);
}

}  // namespace zembrel::detail
