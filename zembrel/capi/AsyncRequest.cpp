// The simple request as an operation of its own through the C interface: run
// on a worker thread, its answer (status, head, body) kept in the op instead
// of the shared response file.

#include <string>
#include <string_view>
#include <utility>

#include "zembrel/capi/Operation.hpp"
#include "zembrel/capi/Settings.hpp"
#include "zembrel/core/CancelToken.hpp"
#include "zembrel/http/SimpleRequest.hpp"
#include "zembrel/platform/TransferPolicy.hpp"
#include "zembrel/platform/UrlSession.hpp"

using zembrel::capi::OperationExtras;
using zembrel::capi::startChecked;
using zembrel::detail::Outcome;
using zembrel::detail::UrlRequest;

namespace {

// The body shapes a request may ask for; NULL or "" is the default.
bool knownEncoding(const std::string& encoding) {
  return encoding.empty() || encoding == "multipart" || encoding == "urlencoded" ||
         encoding == "raw";
}

// Why the request cannot be sent as asked, or nothing.
std::optional<Outcome> requestRefusal(const std::string& url, const std::string& encoding) {
  if (!zembrel::detail::schemeAllowed(zembrel::detail::TransferKind::Http, url))
    return Outcome::failed("Setup", 0, "only http and https URLs can be requested: " + url);
  if (!knownEncoding(encoding))
    return Outcome::failed("Setup", 0,
                           "unknown encoding \"" + encoding + "\" (multipart, urlencoded or raw)");
  return std::nullopt;
}

// Sends the request on this (worker) thread and keeps the answer. The body
// is held in memory, up to the library's answer limit.
Outcome runRequest(zembrel_op* op, const UrlRequest& request,
                   const zembrel::detail::CancelTokenPtr& token, OperationExtras& extras) {
  std::string body;
  const zembrel::detail::UrlResponse response = zembrel::detail::loadSynchronously(
      request,
      [op, &body](std::string_view bytes) {
        body.append(bytes);
        // The answer's size is rarely known ahead (compressed, chunked).
        op->reportProgress(static_cast<std::int64_t>(body.size()), -1);
        return true;
      },
      [token] { return token->requested(); });
  if (token->requested()) return Outcome::cancelled();
  if (response.error)
    return Outcome::failed(response.error->domain, response.error->code, response.error->message);
  extras.responseHead = response.head;
  extras.responseBody = std::move(body);
  return Outcome::succeeded(response.statusCode);
}

zembrel_op* startRequest(const zembrel_settings& settings, const char* url,
                         const char* const* fields, const char* encoding,
                         const char* const* headers, zembrel_progress_fn progress,
                         zembrel_done_fn done, void* userData) {
  return zembrel::capi::newOperation(progress, done, userData, [&](zembrel_op* op) {
    op->setProgressInterval(zembrel::capi::progressIntervalOf(settings));
    const std::string target = zembrel::capi::text(url);
    const std::optional<std::string> shape = zembrel::capi::optionalText(encoding);
    if (auto refused = requestRefusal(target, shape.value_or(""))) return op->finish(*refused);
    UrlRequest request = zembrel::detail::simpleUrlRequest(
        target, settings.userAgent.value_or(""), zembrel::capi::textList(fields),
        shape && !shape->empty() ? shape : std::nullopt, zembrel::capi::textList(headers));
    request.transfer = settings.transfer;
    auto token = zembrel::detail::makeCancelToken();
    op->setCancel([token] { token->request(); });
    zembrel::capi::finishOnWorkerThread(
        op, [op, request = std::move(request), token](OperationExtras& extras) {
          return runRequest(op, request, token, extras);
        });
  });
}

}  // namespace

extern "C" {

zembrel_op* zembrel_request_async(const zembrel_settings* settings, const char* url,
                                  const char* const* fields, const char* encoding,
                                  const char* const* headers, zembrel_progress_fn progress,
                                  zembrel_done_fn done, void* user_data) {
  return startChecked([&] {
    return startRequest(zembrel::capi::settingsOf(settings), url, fields, encoding, headers,
                        progress, done, user_data);
  });
}

}  // extern "C"
