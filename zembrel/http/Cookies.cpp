#include <curl/curl.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zembrel/Zembrel.hpp"
#include "zembrel/platform/Handles.hpp"
#include "zembrel/platform/UrlSession.hpp"

namespace zembrel {
namespace {

using namespace detail;

// One line of libcurl's cookie list (the cookie-file layout):
// domain, subdomains, path, secure, expiry, name, value; separated by tabs.
struct StoredCookie {
  std::string domain;    // ".example.com" for a domain cookie, the host for a host-only one
  long long expiry = 0;  // seconds since 1970; 0 = ends with the session
  std::string name;
  std::string value;
};

std::optional<StoredCookie> parseCookieLine(std::string_view line) {
  constexpr std::string_view kHttpOnlyPrefix = "#HttpOnly_";
  if (line.starts_with(kHttpOnlyPrefix)) line.remove_prefix(kHttpOnlyPrefix.size());
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    auto tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  if (fields.size() < 7) return std::nullopt;
  StoredCookie cookie;
  cookie.domain = fields[0];
  cookie.expiry = std::strtoll(std::string(fields[4]).c_str(), nullptr, 10);
  cookie.name = fields[5];
  cookie.value = fields[6];
  return cookie;
}

// The cookies of the process-wide store, in the store's order. Expired ones
// that the store has not purged yet are left out: they are never sent.
std::vector<StoredCookie> storedCookies() {
  std::vector<StoredCookie> cookies;
  CurlEasyPtr easy(curl_easy_init());
  if (!easy) return cookies;
  attachSharedSession(easy.get());
  curl_slist* raw = nullptr;
  if (curl_easy_getinfo(easy.get(), CURLINFO_COOKIELIST, &raw) != CURLE_OK) return cookies;
  CurlSlistPtr list(raw);
  const long long now = std::time(nullptr);
  for (auto* item = list.get(); item; item = item->next) {
    auto cookie = parseCookieLine(item->data);
    if (cookie && (cookie->expiry == 0 || cookie->expiry > now)) cookies.push_back(*cookie);
  }
  return cookies;
}

}  // namespace

std::string Zembrel::getSentCookies(const std::optional<std::string>& domain) {
  std::string header;
  try {
    if (domain) {
      for (const auto& cookie : storedCookies()) {
        if (cookie.domain != *domain) continue;  // exact text only, no suffix match
        if (!header.empty()) header += "; ";
        header += cookie.name;
        header += '=';
        header += cookie.value;
      }
    }
  } catch (...) {
    header.clear();
  }
  cookieStr = header;
  return header;
}

}  // namespace zembrel
