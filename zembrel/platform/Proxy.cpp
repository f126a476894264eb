#include "zembrel/platform/Proxy.hpp"

#include <curl/curl.h>
#include <strings.h>

#include <cstdlib>
#include <initializer_list>

namespace zembrel::detail {
namespace {

std::string firstSet(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value && *value) return value;
  }
  return std::string();
}

bool isScheme(std::string_view scheme, const char* name) {
  return scheme.size() == std::char_traits<char>::length(name) &&
         ::strncasecmp(scheme.data(), name, scheme.size()) == 0;
}

bool isFtpScheme(std::string_view scheme) {
  return isScheme(scheme, "ftp") || isScheme(scheme, "ftpes") || isScheme(scheme, "ftps") ||
         isScheme(scheme, "sftp");
}

}  // namespace

ProxyChoice proxyFromEnvironment(std::string_view scheme) {
  ProxyChoice choice;
  if (isScheme(scheme, "http")) {
    choice.proxy = firstSet({"http_proxy"});
  } else if (isScheme(scheme, "https")) {
    choice.proxy = firstSet({"https_proxy", "HTTPS_PROXY"});
  } else if (isFtpScheme(scheme)) {
    choice.proxy = firstSet({"ftp_proxy", "FTP_PROXY"});
  }
  if (choice.proxy.empty()) choice.proxy = firstSet({"all_proxy", "ALL_PROXY"});
  choice.noProxy = firstSet({"no_proxy", "NO_PROXY"});
  return choice;
}

void applyProxy(CURL* easy, std::string_view scheme, const std::optional<std::string>& chosen) {
  const ProxyChoice choice =
      chosen ? ProxyChoice{*chosen, std::string()} : proxyFromEnvironment(scheme);
  // Set even when empty: libcurl would otherwise read the environment itself
  // when the transfer connects, by rules of its own.
  curl_easy_setopt(easy, CURLOPT_PROXY, choice.proxy.c_str());
  curl_easy_setopt(easy, CURLOPT_NOPROXY, choice.noProxy.c_str());
  if (!choice.proxy.empty() && isFtpScheme(scheme))
    curl_easy_setopt(easy, CURLOPT_HTTPPROXYTUNNEL, 1L);
}

}  // namespace zembrel::detail
