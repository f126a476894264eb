#include "zembrel/platform/Handles.hpp"

namespace zembrel::detail {

void CurlEasyFree::operator()(void* easy) const noexcept { curl_easy_cleanup(easy); }

void CurlMultiFree::operator()(void* multi) const noexcept { curl_multi_cleanup(multi); }

std::string takeCurlString(char* text) {
  std::unique_ptr<char, decltype(&curl_free)> owner(text, &curl_free);
  return text ? std::string(text) : std::string();
}

std::string takeGString(gchar* text) {
  std::unique_ptr<gchar, decltype(&g_free)> owner(text, &g_free);
  return text ? std::string(text) : std::string();
}

}  // namespace zembrel::detail
