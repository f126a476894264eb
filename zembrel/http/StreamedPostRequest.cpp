#include "zembrel/http/StreamedPostRequest.hpp"

#include <sys/stat.h>

#include <filesystem>

#include "zembrel/http/FormEncoding.hpp"
#include "zembrel/http/HttpRequest.hpp"
#include "zembrel/http/UploadBody.hpp"
#include "zembrel/platform/MimeTypes.hpp"
#include "zembrel/platform/Url.hpp"

namespace zembrel::detail {
namespace {

constexpr std::string_view kUrlEncodedType = "application/x-www-form-urlencoded";

// A file is sent when the path names something that exists; links are
// followed, so a dangling link counts as no file.
bool filePresent(const std::optional<std::string>& path) {
  if (!path || path->empty()) return false;
  struct stat info {};
  return ::stat(path->c_str(), &info) == 0;
}

// The file part's header lines, up to the file's first byte.
std::string filePartHeader(std::string_view boundary, std::string_view partName,
                           std::string_view fileName, std::string_view mimeType) {
  std::string header = "--";
  header += boundary;
  header += "\r\nContent-Disposition: form-data; name=\"";
  header += quotedHeaderParameter(partName);
  header += "\"; filename=\"";
  header += quotedHeaderParameter(fileName);
  header += "\"\r\nContent-Type: ";
  header += mimeType;
  header += "\r\nContent-Transfer-Encoding: binary\r\n\r\n";
  return header;
}

// The URL-encoded form: the complete pairs, then an odd last element as a
// name with an empty value. Every name and value is escaped, so the server
// gets exactly the fields given.
std::string urlEncodedForm(const std::vector<std::string>& fields) {
  std::string body = urlEncodedPairs(fields);
  if (fields.size() % 2 == 1 && !fields.back().empty()) {
    if (!body.empty()) body += '&';
    body += escapeFormComponent(fields.back());
    body += '=';
  }
  return body;
}

// Multipart: the fields, the file part, the closing line.
std::shared_ptr<UploadBody> multipartBody(const StreamedPostArguments& args,
                                          const std::string& boundary,
                                          std::unique_ptr<FileReader> file) {
  std::optional<std::string> mimeType = mimeTypeForFileName(*args.filePath);
  if (!mimeType || mimeType->empty()) mimeType = "application/octet-stream";
  const std::vector<std::string> fields = args.fields.value_or(std::vector<std::string>());
  const std::string partName = fields.size() % 2 == 1 ? fields.back() : std::string();
  const std::string fileName = std::filesystem::path(*args.filePath).filename().string();
  std::vector<std::unique_ptr<UploadElementReader>> pieces;
  pieces.push_back(
      MemoryReader::fromMemory(multipartFieldParts(boundary, fields) +
                               filePartHeader(boundary, partName, fileName, *mimeType)));
  pieces.push_back(std::move(file));
  pieces.push_back(MemoryReader::fromMemory("\r\n" + multipartClosingLine(boundary)));
  return std::make_shared<UploadBody>(std::move(pieces));
}

// Headers 1 to 4: user agent, multipart type, keep-alive, the caller's pairs.
// True when the caller set "Content-Type" (exactly so spelt).
bool setHeaders(HttpRequest& request, const StreamedPostArguments& args,
                const std::string& boundary) {
  if (args.userAgent && !args.userAgent->empty())
    request.setHeaderFieldValue("User-Agent", *args.userAgent);
  request.setHeaderFieldValue("Content-Type", multipartContentType(boundary));
  request.setHeaderFieldValue("Connection", "keep-alive");
  bool callerContentType = false;
  if (args.headers) {
    const auto& headers = *args.headers;
    for (std::size_t i = 0; i < pairedCount(headers); i += 2) {
      request.setHeaderFieldValue(headers[i], headers[i + 1]);
      if (headers[i] == "Content-Type") callerContentType = true;
    }
  }
  return callerContentType;
}

}  // namespace

std::optional<std::string> mimeTypeForFileName(const std::string& filePath) {
  const std::string name = std::filesystem::path(filePath).filename().string();
  const std::size_t dot = name.rfind('.');
  return mimeTypeForExtension(dot == std::string::npos ? std::string_view()
                                                       : std::string_view(name).substr(dot + 1));
}

std::optional<StreamedPostRequest> buildStreamedPostRequest(const StreamedPostArguments& args) {
  StreamedPostRequest built;
  HttpRequest request(args.url);
  const std::string boundary = multipartBoundaryFor(args.headers);
  const bool callerContentType = setHeaders(request, args, boundary);

  std::unique_ptr<FileReader> file;
  if (filePresent(args.filePath)) {
    file = FileReader::fromFile(*args.filePath);
    if (!file) return std::nullopt;
    built.fileSize = file->length();
  }

  std::string memoryBody;  // the body of the shapes without a file
  if (file && callerContentType) {
    // The file alone, with the caller's type.
    std::vector<std::unique_ptr<UploadElementReader>> pieces;
    pieces.push_back(std::move(file));
    built.body = std::make_shared<UploadBody>(std::move(pieces));
  } else if (file) {
    built.body = multipartBody(args, boundary, std::move(file));
  } else if (!callerContentType) {
    request.setHeaderFieldValue("Content-Type", kUrlEncodedType);
    if (args.fields) memoryBody = urlEncodedForm(*args.fields);
  }

  // The length is always that of the body really sent, whatever the caller
  // passed, so the server never reads a body of another size.
  if (built.body) {
    built.bodySize = built.body->size();
    request.setHeaderFieldValue("Content-Length", std::to_string(*built.bodySize));
    request.setBody(built.body);
  } else {
    request.setHeaderFieldValue("Content-Length", std::to_string(memoryBody.size()));
    request.setBody(std::move(memoryBody));
  }
  built.request = request.take();
  built.request.transfer = args.transfer;
  return built;
}

}  // namespace zembrel::detail
