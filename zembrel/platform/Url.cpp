#include "zembrel/platform/Url.hpp"

#include "zembrel/platform/Handles.hpp"

namespace zembrel::detail {
namespace {

bool keptAsIs(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    // Unreserved marks.
    case '-': case '_': case '.': case '!': case '~': case '*': case '\'': case '(': case ')':
    // Reserved characters that carry no meaning inside a form component.
    case ';': case '/': case '?': case ':': case '@': case '$': case ',':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string percentEscape(std::string_view text, bool (*keep)(unsigned char)) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(text.size());
  for (unsigned char c : text) {
    if (keep(c)) {
      escaped += static_cast<char>(c);
    } else {
      escaped += '%';
      escaped += kHex[c >> 4];
      escaped += kHex[c & 0x0f];
    }
  }
  return escaped;
}

std::string escapeFormComponent(std::string_view text) { return percentEscape(text, &keptAsIs); }

std::optional<std::string> resolveUrlReference(const std::string& base,
                                               const std::string& reference) {
  CurlUrlPtr url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK)
    return std::nullopt;
  // Setting a URL on a handle that holds one resolves it as a reference.
  if (curl_url_set(url.get(), CURLUPART_URL, reference.c_str(), 0) != CURLUE_OK)
    return std::nullopt;
  char* text = nullptr;
  if (curl_url_get(url.get(), CURLUPART_URL, &text, 0) != CURLUE_OK) return std::nullopt;
  return takeCurlString(text);
}

std::optional<UrlOrigin> urlOrigin(const std::string& text) {
  CurlUrlPtr url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
    return std::nullopt;
  auto part = [&url](CURLUPart which, unsigned flags) -> std::optional<std::string> {
    char* value = nullptr;
    if (curl_url_get(url.get(), which, &value, flags) != CURLUE_OK) return std::nullopt;
    std::string copy = takeCurlString(value);
    for (char& c : copy) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return copy;
  };
  UrlOrigin origin;
  auto scheme = part(CURLUPART_SCHEME, 0);
  auto host = part(CURLUPART_HOST, 0);
  auto port = part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (!scheme || !host || !port) return std::nullopt;
  origin.scheme = std::move(*scheme);
  origin.host = std::move(*host);
  origin.port = std::move(*port);
  // The same link-local address on another interface is another machine.
  origin.zone = part(CURLUPART_ZONEID, 0).value_or(std::string());
  return origin;
}

}  // namespace zembrel::detail
