#pragma once

// What every FTP transfer of the library obeys, on top of the library-wide
// transfer policy.

#include <chrono>
#include <optional>
#include <string>

typedef void CURL;

namespace zembrel {
class Zembrel;
}

namespace zembrel::detail {

// Applies the transfer policy for FTP to a new or reset handle, before the
// operation sets its own options: only ftp URLs, the stall limit on the data
// connection and on every reply the server owes, the connect limit, proxies.
// With `stoppable`, the handle also checks about ten times a second whether
// the instance's operation was cancelled or its connection closed from
// another thread, and then ends the transfer (CURLE_ABORTED_BY_CALLBACK).
void applyFtpTransferPolicy(CURL* easy, const std::string& url, Zembrel* stoppable = nullptr);

// The stall limit in force: kStallSeconds, unless a test set another.
std::chrono::seconds ftpStallLimit();

// For tests only (the library's public interface has no way to it): runs FTP
// transfers with a shorter stall limit, so that a silent server is seen in
// seconds; std::nullopt restores the real one.
void setFtpStallLimitForTesting(std::optional<std::chrono::seconds> limit);

}  // namespace zembrel::detail
