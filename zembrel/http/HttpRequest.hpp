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

  // Sets a header. Names compare without regard to case, as in HTTP: setting
  // a name again replaces its value and keeps its place. CR and LF in a name
  // or value become blanks, so no value can add header lines of its own.
  void setHeaderFieldValue(std::string_view name, std::string_view value);

  void setBody(std::string bytes);
  void setBody(std::shared_ptr<RequestBody> source);

  // What the network stream sends; leaves this request empty.
  HttpStream::Request take() { return std::move(request_); }

 private:
  HttpStream::Request request_;
};

}  // namespace zembrel::detail
