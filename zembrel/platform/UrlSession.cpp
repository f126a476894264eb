#include "zembrel/platform/UrlSession.hpp"

#include <curl/curl.h>
#include <strings.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "zembrel/platform/CurlDriver.hpp"
#include "zembrel/platform/CurlHeaders.hpp"
#include "zembrel/platform/TransferPolicy.hpp"

namespace zembrel::detail {
namespace {

class SharedSession {
 public:
  SharedSession() : share_(curl_share_init()) {
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }
  SharedSession(const SharedSession&) = delete;
  SharedSession& operator=(const SharedSession&) = delete;
  // Lives for the whole process: handles of any instance may still point at it
  // during static destruction, so it is deliberately never cleaned up.

  CURLSH* get() const { return share_; }

 private:
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) noexcept {
    static_cast<SharedSession*>(self)->mutexFor(data).lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* self) noexcept {
    static_cast<SharedSession*>(self)->mutexFor(data).unlock();
  }
  std::mutex& mutexFor(curl_lock_data data) {
    auto index = static_cast<std::size_t>(data);
    return mutexes_[index < mutexes_.size() ? index : 0];
  }

  CURLSH* share_;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes_;
};

// Redirects followed by the synchronous loader. Its overall limit, so that a
// trickling server never blocks the caller for good, is the answer limit
// (TransferLimits::answerSeconds).
constexpr long kMaxRedirects = 20;

// Feeds the answer's body to the loader's sink, within the answer limit.
struct BodySink {
  const std::function<bool(std::string_view)>& sink;
  AnswerBudget budget;

  static size_t write(char* data, size_t size, size_t count, void* self) noexcept {
    auto* body = static_cast<BodySink*>(self);
    const size_t length = size * count;
    try {
      // A short count ends the transfer with CURLE_WRITE_ERROR.
      if (!body->budget.take(length)) return 0;
      if (!body->sink(std::string_view(data, length))) return 0;
    } catch (...) {
      return 0;
    }
    return length;
  }
};

std::string answerHead(CURL* easy) {
  std::string head;
  curl_header* previous = nullptr;
  while (curl_header* header = curl_easy_nextheader(easy, CURLH_HEADER, -1, previous)) {
    head += header->name;
    head += ": ";
    head += header->value;
    head += '\n';
    previous = header;
  }
  head += '\n';
  return head;
}

// One line of libcurl's cookie list (the cookie-file layout): domain,
// subdomains, path, secure, expiry, name, value; separated by tabs.
std::optional<SessionCookie> parseCookieLine(std::string_view line) {
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
  SessionCookie cookie;
  cookie.domain = fields[0];
  cookie.expiry = std::strtoll(std::string(fields[4]).c_str(), nullptr, 10);
  cookie.name = fields[5];
  cookie.value = fields[6];
  return cookie;
}

SharedSession& session() {
  static SharedSession* instance = new SharedSession();
  return *instance;
}

// Follows the hops of one transfer: once a hop was https, a later hop to
// http is refused before its request goes out. The transfer policy refuses
// that from an https start; a chain that begins with http needs this.
struct TlsKeeper {
  CURL* easy = nullptr;
  bool hadTls = false;
  bool refused = false;

  static int beforeRequest(void* self, char*, char*, int, int) noexcept {
    auto& keeper = *static_cast<TlsKeeper*>(self);
    const char* url = nullptr;
    if (curl_easy_getinfo(keeper.easy, CURLINFO_EFFECTIVE_URL, &url) != CURLE_OK || !url)
      return CURL_PREREQFUNC_ABORT;
    const bool tls = ::strncasecmp(url, "https:", 6) == 0;
    keeper.refused = keeper.hadTls && !tls;
    keeper.hadTls = keeper.hadTls || tls;
    return keeper.refused ? CURL_PREREQFUNC_ABORT : CURL_PREREQFUNC_OK;
  }
};

}  // namespace

void attachSharedSession(CURL* easy) {
  curl_easy_setopt(easy, CURLOPT_SHARE, session().get());
  // An empty file name turns on the cookie engine without reading any file.
  curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
}

UrlResponse loadSynchronously(const UrlRequest& request,
                              const std::function<bool(std::string_view bytes)>& sink,
                              const std::function<bool()>& giveUp) {
  UrlResponse response;
  CurlEasyPtr easy(curl_easy_init());
  if (!easy) {
    response.error = mapTransferError(nullptr, CURLE_FAILED_INIT);
    return response;
  }
  CURL* handle = easy.get();
  applyTransferPolicy(handle, TransferKind::Http, request.url, request.transfer);
  curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
  TlsKeeper keeper{handle};
  curl_easy_setopt(handle, CURLOPT_PREREQFUNCTION, &TlsKeeper::beforeRequest);
  curl_easy_setopt(handle, CURLOPT_PREREQDATA, &keeper);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT, transferLimits().answerSeconds);
  if (!request.headers.has("User-Agent") && !request.defaultUserAgent.empty())
    curl_easy_setopt(handle, CURLOPT_USERAGENT, request.defaultUserAgent.c_str());
  const CurlSlistPtr headers =
      request.body ? curlHeaderList(request.headers, {"Accept-Encoding", "Content-Type", "Expect"})
                   : curlHeaderList(request.headers, {"Accept-Encoding"});
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  if (request.body) {
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body->data());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body->size()));
  } else {
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
  }
  BodySink body{sink, AnswerBudget()};
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &BodySink::write);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);

  // On the one driver, on a private context of this thread until it ends.
  const auto result = static_cast<CURLcode>(runTransfer(handle, giveUp));
  if (result != CURLE_OK) {
    // Reported as libcurl reports the same hop from an https start.
    response.error = mapTransferError(handle, keeper.refused ? CURLE_UNSUPPORTED_PROTOCOL : result);
    return response;
  }
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  response.statusCode = static_cast<int>(status);
  response.head = answerHead(handle);
  return response;
}

std::vector<SessionCookie> sessionCookies() {
  std::vector<SessionCookie> cookies;
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

}  // namespace zembrel::detail
