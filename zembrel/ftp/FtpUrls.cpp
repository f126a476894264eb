// Splitting and joining FTP URLs.

#include <curl/curl.h>
#include <glib.h>

#include <filesystem>

#include "zembrel/Zembrel.hpp"
#include "zembrel/platform/Handles.hpp"
#include "zembrel/platform/Url.hpp"

namespace zembrel {
namespace {

struct ParsedUrl {
  bool hasUser = false;
  std::string decodedPath;  // starts with "/"
};

std::optional<ParsedUrl> parseUrl(const std::string& url) {
  detail::CurlUrlPtr handle(curl_url());
  if (!handle) return std::nullopt;
  if (curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
    return std::nullopt;
  ParsedUrl parsed;
  char* part = nullptr;
  if (curl_url_get(handle.get(), CURLUPART_USER, &part, 0) == CURLUE_OK) {
    parsed.hasUser = true;
    curl_free(part);
  }
  part = nullptr;
  if (curl_url_get(handle.get(), CURLUPART_PATH, &part, CURLU_URLDECODE) != CURLUE_OK)
    return std::nullopt;
  parsed.decodedPath = detail::takeCurlString(part);
  return parsed;
}

// Index in the URL's text where its path begins (its length when it has no
// path). The host is found by parsing the URL: with credentials, the path is
// the first "/" after the first "@"; without them, the first "/" after "//".
std::optional<std::size_t> pathStart(const std::string& url) {
  auto parsed = parseUrl(url);
  std::size_t from;
  if (parsed) {
    std::size_t scheme = url.find("://");
    if (scheme == std::string::npos) return std::nullopt;
    from = scheme + 3;
    if (parsed->hasUser) {
      std::size_t at = url.find('@', from);
      if (at != std::string::npos) from = at;
    }
  } else {
    // libcurl cannot parse it (say, a "/" in the password that is not
    // escaped): the credentials end at the first "@", as long as one exists.
    std::size_t at = url.find('@');
    if (at == std::string::npos) return std::nullopt;
    from = at;
  }
  std::size_t slash = url.find('/', from);
  return slash == std::string::npos ? url.size() : slash;
}

bool keepInPath(unsigned char c) {
  return g_ascii_isalnum(c) ||
         std::string_view("-._~!$&'()*+,;=:@").find(static_cast<char>(c)) != std::string_view::npos;
}

// Escapes one name for a URL path: bytes outside the path characters (blanks,
// "#", "?", "%", non-ASCII UTF-8 bytes) become "%XX"; "/" is kept when asked.
bool keepInPathOrSlash(unsigned char c) { return keepInPath(c) || c == '/'; }

std::string escapePath(std::string_view text, bool keepSlash) {
  return detail::percentEscape(text, keepSlash ? &keepInPathOrSlash : &keepInPath);
}

}  // namespace

std::optional<std::string> Zembrel::basePathFromURLString(const std::string& url) {
  auto start = pathStart(url);
  if (!start) return std::nullopt;
  return url.substr(0, *start);
}

std::optional<std::string> Zembrel::relativePathFromURLString(const std::string& url) {
  auto parsed = parseUrl(url);
  if (!parsed) return std::nullopt;
  std::string path = parsed->decodedPath;
  if (!path.empty() && path.back() == '/') path.pop_back();
  if (!path.empty() && path.front() == '/') path.erase(0, 1);
  return path;
}

std::optional<std::string> Zembrel::combineURL(const std::string& url, const std::string& andPath,
                                               const std::optional<std::string>& andFilename,
                                               bool isFile) {
  if (!parseUrl(url)) return std::nullopt;
  std::string combined = url;
  std::string_view path = andPath;
  if (!path.empty() && path.front() == '/') path.remove_prefix(1);
  if (combined.empty() || combined.back() != '/') combined += '/';
  combined += escapePath(path, true);
  if (isFile && andFilename && !andFilename->empty()) {
    if (combined.back() != '/') combined += '/';
    combined += escapePath(*andFilename, false);
    return combined;
  }
  combined += '/';
  if (combined.ends_with("//")) combined.pop_back();
  return combined;
}

std::string Zembrel::uploadDestinationURL(const std::string& url, const std::string& localPath) {
  std::string destination = url;
  auto start = pathStart(url);
  if (!start) return destination;                // not a URL we can split; libcurl reports it
  if (*start == url.size()) destination += '/';  // ends with its host: into the root
  if (!destination.empty() && destination.back() == '/') {
    const std::string name = std::filesystem::path(localPath).filename().string();
    destination += escapePath(name, false);
  }
  return destination;
}

}  // namespace zembrel
