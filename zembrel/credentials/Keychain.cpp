// The instance's keyring calls: each runs one KeyringCall and keeps its
// status for lastKeychainStatus().

#include "zembrel/Zembrel.hpp"
#include "zembrel/credentials/KeyringCall.hpp"
#include "zembrel/platform/SecretStore.hpp"

namespace zembrel {
namespace {

// The outcome of the calling thread's last keyring operation, for hosts (the
// operations themselves report nothing) and the command line's exit status.
thread_local std::int32_t lastStatus = detail::kSecretOk;

}  // namespace

void Zembrel::addGenericPassword(std::string_view password, std::string_view byServiceName,
                                 std::string_view accountName, std::string_view oldServiceName) {
  // Held for the call: another thread may drop the host's last reference.
  const auto keep = weak_from_this().lock();
  try {
    detail::KeyringCall call;
    lastStatus =
        detail::keyringStatus(call.store(password, byServiceName, accountName, oldServiceName));
  } catch (...) {
    // Out of memory: the operation reports nothing by contract.
    lastStatus = detail::kSecretFailed;
  }
}

std::vector<std::string> Zembrel::genericPasswordByServiceName(std::string_view serviceName) {
  const auto keep = weak_from_this().lock();
  try {
    detail::KeyringCall call;
    std::vector<std::string> found;
    lastStatus = detail::keyringStatus(call.find(serviceName, found));
    return found;
  } catch (...) {
    lastStatus = detail::kSecretFailed;
    return {"", ""};
  }
}

void Zembrel::deleteGenericPasswordFromServiceName(std::string_view serviceName) {
  const auto keep = weak_from_this().lock();
  try {
    detail::KeyringCall call;
    lastStatus = detail::keyringStatus(call.remove(serviceName));
  } catch (...) {
    lastStatus = detail::kSecretFailed;
  }
}

std::int32_t Zembrel::lastKeychainStatus() const { return lastStatus; }

}  // namespace zembrel
