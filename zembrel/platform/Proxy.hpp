#pragma once

#include <optional>
#include <string>

typedef void CURL;

namespace zembrel::detail {

// Proxy settings from the environment, read afresh at the start of each
// transfer (the Linux convention: http_proxy, https_proxy, ftp_proxy,
// no_proxy, and their upper-case forms).
struct FtpProxy {
  std::string proxy;  // as given, e.g. "http://proxy:3128"
  long port = 0;      // 0: the proxy text's own port or libcurl's default
};

// ftp_proxy (or FTP_PROXY); absent when neither is set or both are empty.
std::optional<FtpProxy> ftpProxyFromEnvironment();

// Applies the FTP proxy to an easy handle: CURLOPT_PROXY and CURLOPT_PROXYPORT
// when one is set, nothing otherwise.
void applyFtpProxy(CURL* easy);

}  // namespace zembrel::detail

namespace zembrel::detail {

// Proxy settings of an HTTP transfer from the environment as it is now:
// https_proxy (https) or http_proxy (http), else all_proxy, each lower-case
// first; no_proxy lists the hosts reached directly.
struct HttpProxy {
  std::string proxy;    // empty: connect directly
  std::string noProxy;  // comma-separated hosts, "*" for all
};
HttpProxy httpProxyFromEnvironment(bool secure);

// Applies them to an easy handle, so that the settings current at the start
// of the transfer hold for all of it.
void applyHttpProxy(CURL* easy, bool secure);

}  // namespace zembrel::detail
