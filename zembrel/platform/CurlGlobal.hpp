#pragma once

namespace zembrel::detail {

// libcurl's process-wide set-up, counted so that every instance's creation and
// destruction can be seen to balance. Thread-safe.
void acquireCurlGlobal();  // curl_global_init(CURL_GLOBAL_ALL); result ignored
void releaseCurlGlobal();  // curl_global_cleanup()

// Set-ups not yet balanced by a clean-up, counted by this library only.
int curlGlobalBalance();

}  // namespace zembrel::detail
