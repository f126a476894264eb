#include "zembrel/http/HttpRequest.hpp"

#include <strings.h>

#include <algorithm>

#include "zembrel/Zembrel.hpp"

namespace zembrel::detail {
namespace {

std::string singleLine(std::string_view text) {
  std::string line(text);
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return line;
}

}  // namespace

void HttpRequest::setHeaderFieldValue(std::string_view name, std::string_view value) {
  std::string key = singleLine(name);
  for (auto& [existing, current] : request_.headers) {
    if (::strcasecmp(existing.c_str(), key.c_str()) == 0) {
      current = singleLine(value);
      return;
    }
  }
  request_.headers.emplace_back(std::move(key), singleLine(value));
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
