#pragma once

// What every FTP transfer of the library obeys, on top of the library-wide
// transfer policy.

#include <string>

typedef void CURL;

namespace zembrel {
class Zembrel;
}

namespace zembrel::detail {

// Applies the transfer policy for FTP to a new or reset handle, before the
// operation sets its own options: the library's transfer policy for FTP.
// With `stoppable`, the handle also checks about ten times a second whether
// the instance's operation was cancelled or its connection closed from
// another thread, and then ends the transfer (CURLE_ABORTED_BY_CALLBACK).
void applyFtpTransferPolicy(CURL* easy, const std::string& url, Zembrel* stoppable = nullptr);

}  // namespace zembrel::detail
