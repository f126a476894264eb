#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include "zembrel/Zembrel.hpp"
#include "zembrel/http/FormEncoding.hpp"
#include "zembrel/http/HttpRequest.hpp"
#include "zembrel/http/ResponseFile.hpp"
#include "zembrel/http/UploadBody.hpp"
#include "zembrel/platform/Clock.hpp"
#include "zembrel/platform/HttpStream.hpp"
#include "zembrel/platform/MimeTypes.hpp"
#include "zembrel/platform/RunLoop.hpp"
#include "zembrel/platform/Url.hpp"

namespace zembrel {
namespace {

constexpr std::string_view kUrlEncodedType = "application/x-www-form-urlencoded";
constexpr std::chrono::duration<double> kRatePeriod{0.5};

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
  header += detail::quotedHeaderParameter(partName);
  header += "\"; filename=\"";
  header += detail::quotedHeaderParameter(fileName);
  header += "\"\r\nContent-Type: ";
  header += mimeType;
  header += "\r\nContent-Transfer-Encoding: binary\r\n\r\n";
  return header;
}

// The URL-encoded form: the complete pairs, then an odd last element as a
// name with an empty value. Every name and value is escaped, so the server
// gets exactly the fields given.
std::string urlEncodedForm(const std::vector<std::string>& fields) {
  std::string body = detail::urlEncodedPairs(fields);
  if (fields.size() % 2 == 1 && !fields.back().empty()) {
    if (!body.empty()) body += '&';
    body += detail::escapeFormComponent(fields.back());
    body += '=';
  }
  return body;
}

}  // namespace

std::optional<std::string> Zembrel::MIMETypeForFile(const std::string& filePath) {
  const std::string name = std::filesystem::path(filePath).filename().string();
  const std::size_t dot = name.rfind('.');
  return detail::mimeTypeForExtension(
      dot == std::string::npos ? std::string_view() : std::string_view(name).substr(dot + 1));
}

bool Zembrel::doPostWithURL(const std::string& url,
                            const std::optional<std::string>& userAgentString,
                            const std::optional<std::vector<std::string>>& fieldValuePairs,
                            const std::optional<std::string>& filePath,
                            const std::optional<std::vector<std::string>>& headerValuePairs) {
  if (httpReqStream) return false;
  auto fail = [this] {
    cancelUpload();
    sendAppleEventError("Setup", 0);
    return false;
  };
  try {
    responseData.reset(new detail::ResponseSpool());
    bodySizeIsLessThanBuffer = false;
    firstBytesWritten = 0;
    lastProgressBytes = 0;
    const bool sendsFile = filePresent(filePath);

    req.reset(new detail::HttpRequest(url));
    if (userAgentString && !userAgentString->empty())
      req->setHeaderFieldValue("User-Agent", *userAgentString);
    const std::string boundary = detail::multipartBoundaryFor(headerValuePairs);
    req->setHeaderFieldValue("Content-Type", detail::multipartContentType(boundary));
    req->setHeaderFieldValue("Connection", "keep-alive");
    bool callerContentType = false;
    if (headerValuePairs) {
      const auto& headers = *headerValuePairs;
      for (std::size_t i = 0; i < detail::pairedCount(headers); i += 2) {
        req->setHeaderFieldValue(headers[i], headers[i + 1]);
        if (headers[i] == "Content-Type") callerContentType = true;
      }
    }

    // The body is read from the file while it is sent, never copied: the
    // file is opened now, so an unreadable one fails here, before sending.
    std::unique_ptr<detail::FileReader> file;
    std::string memoryBody;  // the body of the shapes without a file
    if (sendsFile) {
      file = detail::FileReader::fromFile(*filePath);
      if (!file) return fail();
      fileSize = file->length();
    }

    if (callerContentType && sendsFile) {
      // The file alone, with the caller's type.
      std::vector<std::unique_ptr<detail::UploadElementReader>> pieces;
      pieces.push_back(std::move(file));
      fileReadStream = std::make_shared<detail::UploadBody>(std::move(pieces));
    } else if (sendsFile) {
      // Multipart: the fields, the file part, the closing line.
      std::optional<std::string> mimeType = MIMETypeForFile(*filePath);
      if (!mimeType || mimeType->empty()) mimeType = "application/octet-stream";
      const std::vector<std::string> fields = fieldValuePairs.value_or(std::vector<std::string>());
      const std::string partName = fields.size() % 2 == 1 ? fields.back() : std::string();
      const std::string fileName = std::filesystem::path(*filePath).filename().string();
      std::vector<std::unique_ptr<detail::UploadElementReader>> pieces;
      pieces.push_back(detail::MemoryReader::fromMemory(
          detail::multipartFieldParts(boundary, fields) +
          filePartHeader(boundary, partName, fileName, *mimeType)));
      pieces.push_back(std::move(file));
      pieces.push_back(
          detail::MemoryReader::fromMemory("\r\n" + detail::multipartClosingLine(boundary)));
      fileReadStream = std::make_shared<detail::UploadBody>(std::move(pieces));
    } else if (!callerContentType) {
      req->setHeaderFieldValue("Content-Type", kUrlEncodedType);
      if (fieldValuePairs) memoryBody = urlEncodedForm(*fieldValuePairs);
    }

    // The length is always that of the body really sent, whatever the caller
    // passed, so the server never reads a body of another size.
    if (fileReadStream) {
      bodySize = fileReadStream->size();
      req->setHeaderFieldValue("Content-Length", std::to_string(bodySize));
      req->setBody(fileReadStream);
    } else {
      req->setHeaderFieldValue("Content-Length", std::to_string(memoryBody.size()));
      req->setBody(std::move(memoryBody));
    }

    // The stream holds the instance until it is torn down, so an upload in
    // any shape keeps it alive; its events hold nothing.
    std::weak_ptr<Zembrel> weakSelf = weak_from_this();
    httpReqStream.reset(new detail::HttpStream(
        req->take(),
        [weakSelf](detail::StreamEvent event) {
          if (auto self = weakSelf.lock())
            self->handleNetworkEvent(static_cast<std::uint32_t>(event));
        },
        shared_from_this()));
    req.reset();
    if (!httpReqStream->start()) return fail();
    startTime = detail::monotonicSeconds();

    if (sendsFile) {
      const auto context = detail::MainContext::threadDefault();
      auto self = shared_from_this();
      progEventTimer =
          detail::startRepeatingTimer(context, std::chrono::duration<double>(progressEventInterval),
                                      [self] { self->sendAppleEventProgress(); });
      uploadRateTimer =
          detail::startRepeatingTimer(context, kRatePeriod, [self] { self->calcUploadRate(); });
    }
    return true;
  } catch (...) {
    return fail();
  }
}

}  // namespace zembrel
