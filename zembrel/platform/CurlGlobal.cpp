#include "zembrel/platform/CurlGlobal.hpp"

#include <curl/curl.h>

#include <atomic>

namespace zembrel::detail {
namespace {
std::atomic<int> gBalance{0};
}

void acquireCurlGlobal() {
  // libcurl keeps its own count: each init is undone by one cleanup.
  (void)curl_global_init(CURL_GLOBAL_ALL);
  gBalance.fetch_add(1);
}

void releaseCurlGlobal() {
  curl_global_cleanup();
  gBalance.fetch_sub(1);
}

int curlGlobalBalance() { return gBalance.load(); }

}  // namespace zembrel::detail
