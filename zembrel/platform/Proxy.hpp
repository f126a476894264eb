#pragma once

#include <optional>
#include <string>
#include <string_view>

typedef void CURL;

namespace zembrel::detail {

// The proxy of one transfer, decided from the environment as it is at the
// start of the transfer, by one rule for every operation:
//   http   http_proxy only: the upper-case name is what a CGI-like host gets
//          from a client's "Proxy:" request header, so it is never trusted;
//   https  https_proxy, HTTPS_PROXY;
//   ftp, ftpes, ftps, sftp   ftp_proxy, FTP_PROXY;
// then all_proxy, ALL_PROXY for every scheme; no_proxy, NO_PROXY list the
// hosts reached directly. The lower-case name wins; an empty value counts as
// unset.
struct ProxyChoice {
  std::string proxy;    // empty: connect directly
  std::string noProxy;  // comma-separated hosts, "*" for all
};
ProxyChoice proxyFromEnvironment(std::string_view scheme);

// Applies the choice for the scheme of `url` to an easy handle, so that the
// settings current at the start of the transfer hold for all of it; libcurl
// never reads the environment itself. FTP schemes only ever go through a
// proxy inside a tunnel (HTTP CONNECT, or SOCKS): libcurl would otherwise
// turn the FTP request into a plain HTTP one to the proxy, with the user's
// password in its request line and no TLS, whatever the scheme promised.
// `chosen`, when present, replaces the environment's choice: that proxy for
// every host (no_proxy does not apply), or "" for none.
void applyProxy(CURL* easy, std::string_view scheme,
                const std::optional<std::string>& chosen = std::nullopt);

}  // namespace zembrel::detail
