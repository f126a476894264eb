#include <optional>
#include <string>

#include "zembrel/Zembrel.hpp"
#include "zembrel/core/ZembrelImpl.hpp"
#include "zembrel/platform/UrlSession.hpp"

namespace zembrel {

std::string Zembrel::getSentCookies(const std::optional<std::string>& domain) {
  // Held for the call: another thread may drop the host's last reference
  // while the cookie store is read, before the result is kept below.
  const auto keep = weak_from_this().lock();
  std::string header;
  try {
    if (domain) {
      for (const auto& cookie : detail::sessionCookies()) {
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
  impl_->cookieStr = header;
  return header;
}

}  // namespace zembrel
