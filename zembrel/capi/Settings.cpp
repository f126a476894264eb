// Per-operation settings through the C interface. A setter refuses what
// cannot be meant (a negative limit, a NULL object) and leaves the object as
// it was; 0 or NULL restores the default.

#include "zembrel/capi/Settings.hpp"

#include <cmath>
#include <limits>

using zembrel::capi::guarded;

namespace {

constexpr int kAccepted = 0;
constexpr int kRefused = -1;

// Whole seconds for libcurl's limits: a part of a second rounds up, so that a
// limit is never shorter than asked. Absent for 0 (the default).
std::optional<long> wholeSeconds(double seconds) {
  if (seconds == 0) return std::nullopt;
  return static_cast<long>(std::ceil(seconds));
}

// A limit in seconds the library can keep: 0 (the default) or more, and no
// longer than a day (past that, an operation that hangs would never end).
bool validLimit(double seconds) {
  return std::isfinite(seconds) && seconds >= 0 && seconds <= 86400;
}

}  // namespace

namespace zembrel::capi {

zembrel_settings settingsOf(const zembrel_settings* settings) {
  return settings != nullptr ? *settings : zembrel_settings{};
}

}  // namespace zembrel::capi

extern "C" {

zembrel_settings* zembrel_settings_new(void) {
  return guarded<zembrel_settings*>(nullptr, [] { return new zembrel_settings(); });
}

void zembrel_settings_free(zembrel_settings* settings) { delete settings; }

int zembrel_settings_set_connect_timeout(zembrel_settings* settings, double seconds) {
  if (settings == nullptr || !validLimit(seconds)) return kRefused;
  settings->transfer.connectSeconds = wholeSeconds(seconds);
  return kAccepted;
}

int zembrel_settings_set_stall_timeout(zembrel_settings* settings, double seconds) {
  if (settings == nullptr || !validLimit(seconds)) return kRefused;
  settings->transfer.stallSeconds = wholeSeconds(seconds);
  return kAccepted;
}

int zembrel_settings_set_progress_interval(zembrel_settings* settings, double seconds) {
  if (settings == nullptr || !validLimit(seconds)) return kRefused;
  if (seconds == 0) {
    settings->progressInterval.reset();
  } else {
    settings->progressInterval = seconds;
  }
  return kAccepted;
}

int zembrel_settings_set_ca_file(zembrel_settings* settings, const char* path) {
  if (settings == nullptr) return kRefused;
  // An empty path would leave libcurl without any trusted certificate: refused
  // rather than read as "the default".
  if (path != nullptr && *path == '\0') return kRefused;
  return guarded(kRefused, [&] {
    settings->transfer.caFile = zembrel::capi::optionalText(path);
    return kAccepted;
  });
}

int zembrel_settings_set_proxy(zembrel_settings* settings, const char* proxy) {
  if (settings == nullptr) return kRefused;
  return guarded(kRefused, [&] {
    settings->transfer.proxy = zembrel::capi::optionalText(proxy);
    return kAccepted;
  });
}

int zembrel_settings_set_user_agent(zembrel_settings* settings, const char* user_agent) {
  if (settings == nullptr) return kRefused;
  return guarded(kRefused, [&] {
    settings->userAgent = zembrel::capi::optionalText(user_agent);
    return kAccepted;
  });
}

}  // extern "C"
