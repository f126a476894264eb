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
