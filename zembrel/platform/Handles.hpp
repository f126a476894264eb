#pragma once

// Owners for C handles used across the library. Include only from .cpp files:
// this pulls in the C headers.

#include <curl/curl.h>
#include <glib.h>

#include <memory>
#include <string>

#include "zembrel/detail/Owned.hpp"

namespace zembrel::detail {

using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyFree>;
using CurlMultiPtr = std::unique_ptr<CURLM, CurlMultiFree>;

struct CurlSlistFree {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using CurlSlistPtr = std::unique_ptr<curl_slist, CurlSlistFree>;

struct CurlUrlFree {
  void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};
using CurlUrlPtr = std::unique_ptr<CURLU, CurlUrlFree>;

// Copies a string that libcurl allocated and frees it; null gives "".
std::string takeCurlString(char* text);

// Copies a string that GLib allocated and frees it; null gives "".
std::string takeGString(gchar* text);

}  // namespace zembrel::detail
