#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zembrel::detail {

// Percent-escapes every byte for which `keep` is false as "%XX" (upper-case
// hex); the one escaping loop that each URL rule below is built on.
std::string percentEscape(std::string_view text, bool (*keep)(unsigned char));

// Percent-escapes a form name or value for an application/x-www-form-urlencoded
// body: UTF-8 bytes outside the URL-safe characters become "%XX" (a blank is
// "%20", never "+"). Unlike a whole-URL escape, "&", "=" and "+" are escaped
// too, so a name or value holding them reaches the server as given instead of
// splitting or renaming fields.
std::string escapeFormComponent(std::string_view text);

// `reference` (absolute, or relative as in a Location header) resolved
// against the absolute URL `base`; absent when either cannot be parsed.
std::optional<std::string> resolveUrlReference(const std::string& base,
                                               const std::string& reference);

// A URL's origin: scheme and host in lower case, the port (the scheme's
// default where the URL names none) and an IPv6 address's zone (interface);
// absent when the URL cannot be parsed.
struct UrlOrigin {
  std::string scheme;
  std::string host;
  std::string port;
  std::string zone;  // empty: none
  bool operator==(const UrlOrigin&) const = default;
};
std::optional<UrlOrigin> urlOrigin(const std::string& url);

}  // namespace zembrel::detail
