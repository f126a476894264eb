#include "zembrel/http/HttpRequest.hpp"

#include "zembrel/Zembrel.hpp"

namespace zembrel::detail {
void HttpRequest::setHeaderFieldValue(std::string_view name, std::string_view value) {
  request_.headers.set(name, value);
}

void HttpRequest::setBody(std::string bytes) {
  request_.bodySource.reset();
  request_.bodyBytes = std::move(bytes);
}

void HttpRequest::setBody(std::shared_ptr<RequestBody> source) {
  request_.bodyBytes.clear();
  request_.bodySource = std::move(source);
}

template <>
void Destroy<HttpRequest>::operator()(HttpRequest* request) const noexcept {
  delete request;
}

}  // namespace zembrel::detail
