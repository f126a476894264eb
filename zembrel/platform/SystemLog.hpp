#pragma once

#include <string_view>

namespace zembrel::detail {

// One diagnostic line to standard error and to the system log (syslog), no
// levels. Thread-safe.
void systemLog(std::string_view line) noexcept;

}  // namespace zembrel::detail
