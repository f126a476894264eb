#include "zembrel/http/RetryPolicy.hpp"

namespace zembrel::detail {

std::vector<std::chrono::milliseconds> defaultRetryDelays() {
  using std::chrono::seconds;
  return {seconds(0), seconds(1), seconds(3), seconds(5), seconds(10)};
}

bool isRetryableStatus(int status) { return status >= 500 || status == 423 || status == 409; }

bool isRetryableTransferError(const TransferError& error) { return isConnectionFailure(error); }

}  // namespace zembrel::detail
