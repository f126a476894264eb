#include "zembrel/http/SimpleRequest.hpp"

#include "zembrel/http/FormEncoding.hpp"
#include "zembrel/http/ResponseFile.hpp"

namespace zembrel::detail {
namespace {

// Sent when the caller gives no user agent: some servers refuse requests
// without one.
constexpr const char* kDefaultUserAgent = "Zembrel/0.1";

std::string requestBody(const std::vector<std::string>& fields,
                        const std::optional<std::string>& postEncoding, const std::string& boundary,
                        HeaderFields& headers) {
  if (postEncoding == "urlencoded") {
    headers.set("Content-Type", "application/x-www-form-urlencoded");
    headers.set("Connection", "keep-alive");
    return urlEncodedPairs(fields);
  }
  if (postEncoding == "raw") {
    headers.set("Connection", "keep-alive");
    return fields.front();
  }
  // "multipart", and the default path: the same body, but only "multipart"
  // names its type.
  if (postEncoding == "multipart") headers.set("Content-Type", multipartContentType(boundary));
  headers.set("Connection", "keep-alive");
  return multipartFieldParts(boundary, fields) + multipartClosingLine(boundary);
}

}  // namespace

UrlRequest simpleUrlRequest(const std::string& url, const std::string& userAgent,
                            const std::optional<std::vector<std::string>>& fieldValuePairs,
                            const std::optional<std::string>& postEncoding,
                            const std::optional<std::vector<std::string>>& headerValuePairs) {
  UrlRequest request;
  request.url = url;
  request.defaultUserAgent = kDefaultUserAgent;
  if (!userAgent.empty()) request.headers.set("User-Agent", userAgent);
  if (fieldValuePairs && !fieldValuePairs->empty()) {
    request.body = requestBody(*fieldValuePairs, postEncoding,
                               multipartBoundaryFor(headerValuePairs), request.headers);
  }
  // The caller's headers go last and replace ours.
  if (headerValuePairs) {
    for (std::size_t i = 0; i < pairedCount(*headerValuePairs); i += 2)
      request.headers.set((*headerValuePairs)[i], (*headerValuePairs)[i + 1]);
  }
  return request;
}

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
