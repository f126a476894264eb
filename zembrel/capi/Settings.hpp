#pragma once

// The object behind `zembrel_settings *`: what one operation asks in place
// of the library's defaults. Read once by a start function, which copies
// what it needs; the host may change or free the object afterwards.

#include <algorithm>
#include <optional>
#include <string>

#include "zembrel/capi/Bridge.hpp"
#include "zembrel/platform/TransferPolicy.hpp"

struct zembrel_settings {
  zembrel::detail::TransferSettings transfer;
  std::optional<double> progressInterval;  // seconds
  std::optional<std::string> userAgent;
};

namespace zembrel::capi {

// The settings of a start call: the host's, or the defaults for NULL.
zembrel_settings settingsOf(const zembrel_settings* settings);

// Progress every fifth of a second unless an operation asks otherwise: often
// enough for a bar to move smoothly.
inline constexpr double kDefaultProgressInterval = 0.2;
// Shorter intervals would only keep the host's thread busy with callbacks.
inline constexpr double kShortestProgressInterval = 0.05;

inline double progressIntervalOf(const zembrel_settings& settings) {
  return std::max(settings.progressInterval.value_or(kDefaultProgressInterval),
                  kShortestProgressInterval);
}

}  // namespace zembrel::capi
