#include "zembrel/platform/TransferPolicy.hpp"

#include <curl/curl.h>
#include <strings.h>

#include <cstdlib>
#include <mutex>
#include <optional>

#include "zembrel/platform/Handles.hpp"
#include "zembrel/platform/Proxy.hpp"
#include "zembrel/platform/UrlSession.hpp"

namespace zembrel::detail {
namespace {

// Without a connection within this time the transfer fails.
constexpr long kConnectSeconds = 30;

std::mutex limitsMutex;
std::optional<TransferLimits> limitsForTesting;

const char* schemesOf(TransferKind kind) {
  switch (kind) {
    case TransferKind::Http:
      return "http,https";
    case TransferKind::Ftp:
      // ftpes:// reaches libcurl as ftp:// with TLS required (FtpTransfer).
      return "ftp,ftps,sftp";
  }
  return "";
}

// The schemes callers may give: libcurl's, and ftpes for explicit TLS.
const char* acceptedSchemesOf(TransferKind kind) {
  return kind == TransferKind::Ftp ? "ftp,ftps,ftpes,sftp" : schemesOf(kind);
}

std::string schemeOf(const std::string& url) {
  CurlUrlPtr parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
    return std::string();
  char* text = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &text, 0) != CURLUE_OK) return std::string();
  return takeCurlString(text);
}

}  // namespace

TransferLimits transferLimits() {
  std::lock_guard lock(limitsMutex);
  return limitsForTesting.value_or(TransferLimits{});
}

void overrideTransferLimitsForTesting(const TransferLimits* limits) {
  std::lock_guard lock(limitsMutex);
  if (limits) {
    limitsForTesting = *limits;
  } else {
    limitsForTesting.reset();
  }
}

bool schemeAllowed(TransferKind kind, const std::string& url) {
  const std::string scheme = schemeOf(url);
  if (scheme.empty()) return false;
  std::string_view list = acceptedSchemesOf(kind);
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string_view name = list.substr(0, comma);
    if (name.size() == scheme.size() && ::strncasecmp(name.data(), scheme.data(), name.size()) == 0)
      return true;
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
  }
  return false;
}

void applyTransferPolicy(CURL* easy, TransferKind kind, const std::string& url,
                         const TransferSettings& settings) {
  const long stallSeconds = settings.stallSeconds.value_or(transferLimits().stallSeconds);
  // libcurl refuses any other scheme with CURLE_UNSUPPORTED_PROTOCOL before it
  // touches a file or sends a byte, also where a redirect points.
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, schemesOf(kind));
  // A redirect never leaves TLS: what was sent for https (a form with its
  // passwords, say) must not be sent again in the clear.
  const bool secureHttp =
      kind == TransferKind::Http && ::strcasecmp(schemeOf(url).c_str(), "https") == 0;
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secureHttp ? "https" : schemesOf(kind));
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, settings.connectSeconds.value_or(kConnectSeconds));
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, stallSeconds);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  // The trusted certificates may be named by the environment, as OpenSSL,
  // curl and Python let them be; else libcurl's system store holds.
  // An operation's own file comes first.
  if (settings.caFile) {
    curl_easy_setopt(easy, CURLOPT_CAINFO, settings.caFile->c_str());
  } else if (const char* file = std::getenv("SSL_CERT_FILE"); file && *file) {
    curl_easy_setopt(easy, CURLOPT_CAINFO, file);
  }
  if (const char* dir = std::getenv("SSL_CERT_DIR"); dir && *dir)
    curl_easy_setopt(easy, CURLOPT_CAPATH, dir);
  // Transfers run on the host's threads: libcurl must not raise signals there.
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
  applyProxy(easy, schemeOf(url), settings.proxy);
  switch (kind) {
    case TransferKind::Http:
      attachSharedSession(easy);
      // A caller may ask for a compressed answer; what is saved and parsed
      // must be the document, so every encoding libcurl knows is decoded.
      // Decoded bytes are what the answer limit counts.
      curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
      break;
    case TransferKind::Ftp:
      // The stall limit above watches the data connection; a reply that the
      // server owes on the control connection (to MKD, say, or before a
      // listing starts) gets the same time.
      curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, stallSeconds);
      break;
  }
}

}  // namespace zembrel::detail
