#include "zembrel/platform/SystemLog.hpp"

#include <syslog.h>

#include <cstdio>
#include <string>

namespace zembrel::detail {

void systemLog(std::string_view line) noexcept {
  try {
    std::string text(line);
    std::fprintf(stderr, "zembrel: %s\n", text.c_str());
    std::fflush(stderr);
    syslog(LOG_USER | LOG_NOTICE, "%s", text.c_str());
  } catch (...) {
    // Out of memory while logging: nothing sensible is left to do.
  }
}

}  // namespace zembrel::detail
