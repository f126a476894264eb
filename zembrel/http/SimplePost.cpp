#include <string>
#include <string_view>
#include <vector>

#include "zembrel/Zembrel.hpp"
#include "zembrel/core/MessageText.hpp"
#include "zembrel/core/ZembrelImpl.hpp"
#include "zembrel/http/FormEncoding.hpp"
#include "zembrel/http/SimpleRequest.hpp"
#include "zembrel/platform/HeaderFields.hpp"
#include "zembrel/platform/TransferError.hpp"

namespace zembrel {
namespace {

using namespace detail;

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

std::string Zembrel::doSimplePostWithURL(
    const std::string& url, const std::string& userAgentString,
    const std::optional<std::vector<std::string>>& fieldValuePairs,
    const std::optional<std::string>& postEncoding,
    const std::optional<std::vector<std::string>>& headerValuePairs) {
  // Held for the call: another thread may drop the host's last reference.
  const auto keep = weak_from_this().lock();
  if (impl_->postRunning()) return requestResultText(Outcome::busy());
  try {
    UrlRequest request;
    request.url = url;
    request.defaultUserAgent = kDefaultUserAgent;
    if (!userAgentString.empty()) request.headers.set("User-Agent", userAgentString);
    if (fieldValuePairs && !fieldValuePairs->empty()) {
      request.body = requestBody(*fieldValuePairs, postEncoding,
                                 multipartBoundaryFor(headerValuePairs), request.headers);
    }
    // The caller's headers go last and replace ours.
    if (headerValuePairs) {
      for (std::size_t i = 0; i < pairedCount(*headerValuePairs); i += 2)
        request.headers.set((*headerValuePairs)[i], (*headerValuePairs)[i + 1]);
    }

    SimpleRequest operation(std::move(request));
    return requestResultText(operation.run());
  } catch (...) {
    const TransferError error = outOfMemoryError();
    return requestResultText(Outcome::failed(error.domain, error.code, error.message));
  }
}

}  // namespace zembrel
