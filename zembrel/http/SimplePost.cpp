#include <curl/curl.h>
#include <strings.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zembrel/Zembrel.hpp"
#include "zembrel/http/FormEncoding.hpp"
#include "zembrel/http/ResponseFile.hpp"
#include "zembrel/platform/Handles.hpp"
#include "zembrel/platform/TransferError.hpp"
#include "zembrel/platform/TransferPolicy.hpp"

namespace zembrel {
namespace {

using namespace detail;

// Besides the limits every transfer has, a simple POST ends after
// kTotalTimeout at most, so a trickling server never blocks the caller for good.
constexpr long kTotalTimeoutSeconds = 600;
constexpr long kMaxRedirects = 20;
// The answer is held in memory until it is saved whole; past this size the
// transfer fails instead of exhausting the host's memory.
constexpr std::size_t kMaxResponseBytes = std::size_t{1} << 30;
// Sent when the caller gives no user agent: some servers refuse requests
// without one.
constexpr const char* kDefaultUserAgent = "Zembrel/0.1";

// The request's header fields for one call: setting a name again (in any
// letter case, as HTTP names are compared) replaces its value in place.
class HeaderFields {
 public:
  void set(std::string_view name, std::string_view value) {
    // A name or value that would end the header line cannot be sent as one
    // header; dropping it keeps the request what the caller can see.
    if (name.empty() || name.find_first_of(":\r\n") != std::string_view::npos ||
        value.find_first_of("\r\n") != std::string_view::npos) {
      return;
    }
    for (auto& field : fields_) {
      if (sameName(field.first, name)) {
        field.second = value;
        return;
      }
    }
    fields_.emplace_back(name, value);
  }

  bool has(std::string_view name) const {
    for (const auto& field : fields_) {
      if (sameName(field.first, name)) return true;
    }
    return false;
  }

  // libcurl's list. "Name;" sends an empty value ("Name:" would instead remove
  // one of libcurl's own headers, which `suppress` does on purpose).
  CurlSlistPtr toCurlList(const std::vector<std::string_view>& suppress) const {
    CurlSlistPtr list;
    auto append = [&list](const std::string& line) {
      curl_slist* longer = curl_slist_append(list.get(), line.c_str());
      if (!longer) throw std::bad_alloc();
      list.release();
      list.reset(longer);
    };
    for (const auto& [name, value] : fields_) {
      append(value.empty() ? name + ";" : name + ": " + value);
    }
    for (auto name : suppress) {
      if (!has(name)) append(std::string(name) + ":");
    }
    return list;
  }

 private:
  static bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
  }

  std::vector<std::pair<std::string, std::string>> fields_;
};

// The whole answer of one call, gathered by libcurl's write callback.
struct ResponseBody {
  std::string bytes;
};

extern "C" size_t appendBody(char* data, size_t size, size_t count, void* user) noexcept {
  auto* body = static_cast<ResponseBody*>(user);
  size_t length = size * count;
  try {
    if (body->bytes.size() + length > kMaxResponseBytes) return 0;  // ends as a write error
    body->bytes.append(data, length);
  } catch (...) {
    return 0;
  }
  return length;
}

// "Name: value\n" for each header of the final response (after redirects), in
// the order received, then the empty line.
std::string responseHead(CURL* easy) {
  std::string head;
  curl_header* previous = nullptr;
  while (curl_header* header = curl_easy_nextheader(easy, CURLH_HEADER, -1, previous)) {
    head += header->name;
    head += ": ";
    head += header->value;
    head += '\n';
    previous = header;
  }
  head += '\n';
  return head;
}

std::string requestBody(const std::vector<std::string>& fields,
                        const std::optional<std::string>& postEncoding,
                        const std::string& boundary, HeaderFields& headers) {
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

std::string transferErrorText(CURL* easy, CURLcode code) {
  auto error = mapTransferError(easy, code);
  return "#error|" + error.domain + "|" + std::to_string(error.code);
}

}  // namespace

std::string Zembrel::doSimplePostWithURL(
    const std::string& url, const std::string& userAgentString,
    const std::optional<std::vector<std::string>>& fieldValuePairs,
    const std::optional<std::string>& postEncoding,
    const std::optional<std::vector<std::string>>& headerValuePairs) {
  if (httpReqStream) return "#error|setup|nil";
  try {
    responseData = std::string();
    CurlEasyPtr easy(curl_easy_init());
    if (!easy) return transferErrorText(nullptr, CURLE_FAILED_INIT);
    CURL* handle = easy.get();

    HeaderFields headers;
    if (!userAgentString.empty()) headers.set("User-Agent", userAgentString);
    std::string body;
    bool isPost = fieldValuePairs && !fieldValuePairs->empty();
    if (isPost)
      body = requestBody(*fieldValuePairs, postEncoding, multipartBoundaryFor(headerValuePairs),
                         headers);
    if (headerValuePairs) {
      for (std::size_t i = 0; i < pairedCount(*headerValuePairs); i += 2) {
        headers.set((*headerValuePairs)[i], (*headerValuePairs)[i + 1]);
      }
    }
    // libcurl would add a form Content-Type to every POST and an Expect header
    // to large ones; the request carries only the headers set above.
    // Compressed answers are decoded (see CURLOPT_ACCEPT_ENCODING below) but
    // compression is asked for only when the caller asks for it.
    std::vector<std::string_view> suppress{"Accept-Encoding"};
    if (isPost) suppress.insert(suppress.end(), {"Content-Type", "Expect"});
    CurlSlistPtr headerList = headers.toCurlList(suppress);

    applyTransferPolicy(handle, TransferKind::Http, url);
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, kTotalTimeoutSeconds);
    if (!headers.has("User-Agent")) curl_easy_setopt(handle, CURLOPT_USERAGENT, kDefaultUserAgent);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList.get());
    // A caller that sends Accept-Encoding gets a compressed answer; the saved
    // response must hold the document, not gzip bytes that no parser can read.
    curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");
    if (isPost) {
      curl_easy_setopt(handle, CURLOPT_POST, 1L);
      curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
      curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    } else {
      curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    }
    ResponseBody response;
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &appendBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response);

    CURLcode result = curl_easy_perform(handle);
    if (result != CURLE_OK) return transferErrorText(handle, result);

    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    // Not reported when it fails: the answer itself arrived.
    writeResponseFile(responseHead(handle), response.bytes);
    return "#complete|" + std::to_string(status);
  } catch (...) {
    return transferErrorText(nullptr, CURLE_OUT_OF_MEMORY);
  }
}

}  // namespace zembrel
