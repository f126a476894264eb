#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zembrel/platform/HttpStream.hpp"

namespace zembrel::detail {

// The streamed POST's request while it is put together on the uploading
// thread: its target, its headers and its body. Handed to the network stream
// once complete.
class HttpRequest {
 public:
  explicit HttpRequest(std::string url) { request_.url = std::move(url); }

  // Sets a header by HeaderFields' rules: a name set again keeps its place,
  // and CR and LF become blanks.
  void setHeaderFieldValue(std::string_view name, std::string_view value);

  void setBody(std::string bytes);
  void setBody(std::shared_ptr<RequestBody> source);

  // What the network stream sends; leaves this request empty.
  HttpStream::Request take() { return std::move(request_); }

 private:
  HttpStream::Request request_;
};

}  // namespace zembrel::detail
