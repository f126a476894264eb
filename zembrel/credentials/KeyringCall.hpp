#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "zembrel/core/CancelToken.hpp"
#include "zembrel/core/Outcome.hpp"

namespace zembrel::detail {

// One call on the user's keyring: store, find or delete the item of one
// service name. Runs synchronously on the calling thread, within the keyring
// layer's time limit, and ends in one outcome: succeeded (status 0) or failed
// in the domain "Keyring" with the keyring status as its code (-25300 for a
// missing item). Failures that hosts should see in the log are logged as they
// happen. A cancel asked from another thread stops the call before its next
// step; a step under way ends at the time limit.
class KeyringCall {
 public:
  KeyringCall() = default;
  KeyringCall(const KeyringCall&) = delete;
  KeyringCall& operator=(const KeyringCall&) = delete;

  // Stores the password and account under the service name, deleting the
  // item of `oldServiceName` first when there is one.
  Outcome store(std::string_view password, std::string_view serviceName,
                std::string_view accountName, std::string_view oldServiceName);
  // {password, account}, {password} or {} (text that is not UTF-8), or
  // {"", ""} when the item cannot be read.
  Outcome find(std::string_view serviceName, std::vector<std::string>& passwordAndAccount);
  Outcome remove(std::string_view serviceName);

  const CancelTokenPtr& cancelToken() const { return cancel_; }

 private:
  CancelTokenPtr cancel_ = makeCancelToken();
};

// The keyring status an outcome stands for: 0 for success.
std::int32_t keyringStatus(const Outcome& outcome);

}  // namespace zembrel::detail
