#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "zembrel/platform/HttpStream.hpp"

namespace zembrel::detail {

class UploadBody;

// What the host passed to a streamed POST, as it passed it.
struct StreamedPostArguments {
  std::string url;
  std::optional<std::string> userAgent;
  std::optional<std::vector<std::string>> fields;
  std::optional<std::string> filePath;
  std::optional<std::vector<std::string>> headers;
  TransferSettings transfer;  // the operation's own limits, trust and proxy
};

// The request of one streamed POST, ready for the network stream.
struct StreamedPostRequest {
  HttpStream::Request request;
  // The body read from the file while it is sent; null for the shapes
  // without a file, whose body is in `request.bodyBytes`.
  std::shared_ptr<UploadBody> body;
  std::optional<std::int64_t> fileSize;  // set when a file is sent
  std::optional<std::int64_t> bodySize;  // set when the body is read from the file
};

// Builds the request: multipart form data with the file, the file alone
// under the caller's Content-Type, or URL-encoded fields without a file.
// The file is opened now, so an unreadable one fails here (absent), before
// anything is sent. May throw on memory exhaustion.
std::optional<StreamedPostRequest> buildStreamedPostRequest(const StreamedPostArguments& args);

// The MIME type for the file name's extension, or absent when none is known.
std::optional<std::string> mimeTypeForFileName(const std::string& filePath);

}  // namespace zembrel::detail
