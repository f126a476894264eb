#pragma once

#include <chrono>
#include <vector>

#include "zembrel/platform/TransferError.hpp"

namespace zembrel::detail {

// Waits before the retries of a failed resumable upload attempt: 0, 1, 3, 5
// and 10 s. Their count is the number of retries.
std::vector<std::chrono::milliseconds> defaultRetryDelays();

// Whether an answer with this status may pass when asked again: a server
// error, 423 (the upload is locked by a request the server still runs) and
// 409 (the offsets disagree: the server's offset is asked for again). Any
// other 4xx is final.
bool isRetryableStatus(int status);

// Whether a transfer that failed may pass when tried again: the connection
// could not be made, broke or stalled, or the name did not resolve. A body
// that could not be read, a refused certificate or an unsupported URL will
// fail the same way again.
bool isRetryableTransferError(const TransferError& error);

}  // namespace zembrel::detail
