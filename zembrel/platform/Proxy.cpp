#include "zembrel/platform/Proxy.hpp"

#include <curl/curl.h>

#include <cstdlib>

namespace zembrel::detail {

std::optional<FtpProxy> ftpProxyFromEnvironment() {
  for (const char* name : {"ftp_proxy", "FTP_PROXY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return FtpProxy{value, 0};
  }
  return std::nullopt;
}

void applyFtpProxy(CURL* easy) {
  auto proxy = ftpProxyFromEnvironment();
  if (!proxy) return;
  curl_easy_setopt(easy, CURLOPT_PROXY, proxy->proxy.c_str());
  curl_easy_setopt(easy, CURLOPT_PROXYPORT, proxy->port);
}

}  // namespace zembrel::detail

namespace zembrel::detail {
namespace {

std::string firstSet(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value && *value) return value;
  }
  return std::string();
}

}  // namespace

HttpProxy httpProxyFromEnvironment(bool secure) {
  HttpProxy settings;
  settings.proxy =
      secure ? firstSet({"https_proxy", "HTTPS_PROXY"}) : firstSet({"http_proxy", "HTTP_PROXY"});
  if (settings.proxy.empty()) settings.proxy = firstSet({"all_proxy", "ALL_PROXY"});
  settings.noProxy = firstSet({"no_proxy", "NO_PROXY"});
  return settings;
}

void applyHttpProxy(CURL* easy, bool secure) {
  const HttpProxy settings = httpProxyFromEnvironment(secure);
  // Set even when empty: libcurl would otherwise read the environment itself
  // later, when the transfer connects.
  curl_easy_setopt(easy, CURLOPT_PROXY, settings.proxy.c_str());
  curl_easy_setopt(easy, CURLOPT_NOPROXY, settings.noProxy.c_str());
}

}  // namespace zembrel::detail
