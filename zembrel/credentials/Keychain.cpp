// Passwords in the user's keyring, one item per service name. Every public
// operation uses one SecretStore, so its time limit covers all its steps.

#include <glib.h>

#include <cstdio>
#include <cstring>

#include "zembrel/Zembrel.hpp"
#include "zembrel/platform/SecretStore.hpp"
#include "zembrel/platform/SystemLog.hpp"

namespace zembrel {
namespace {

using detail::kSecretItemNotFound;
using detail::kSecretOk;
using detail::SecretStore;

void logStatus(const char* format, std::int32_t status) {
  char line[96];
  std::snprintf(line, sizeof line, format, static_cast<long>(status));
  detail::systemLog(line);
}

// The outcome of the calling thread's last keyring operation, for hosts (the
// operations themselves report nothing) and the command line's exit status.
thread_local std::int32_t lastStatus = kSecretOk;

std::int32_t deletePassword(SecretStore& store, std::string_view serviceName) {
  if (serviceName.empty()) return kSecretOk;
  const auto found = store.find(serviceName, false);
  if (found.status != kSecretOk) {
    logStatus("error finding keychain item: %ld", found.status);
    return found.status;
  }
  const std::int32_t status = store.remove(found.item);
  if (status != kSecretOk) logStatus("error deleting keychain item: %ld", status);
  return status;
}

std::int32_t addPassword(SecretStore& store, std::string_view password,
                         std::string_view serviceName, std::string_view accountName,
                         std::string_view oldServiceName) {
  if (!oldServiceName.empty()) {
    const auto old = store.find(oldServiceName, false);
    if (old.status == kSecretOk) {
      deletePassword(store, oldServiceName);
      // The old item is gone now: any failure below is logged, so the
      // password is never lost without a trace.
      return addPassword(store, password, serviceName, accountName, "");
    }
    if (old.status != kSecretItemNotFound) {
      // Nothing is stored: say why instead of failing silently.
      logStatus("error finding keychain item: %ld", old.status);
      return old.status;
    }
  }

  const auto found = store.find(serviceName, false);
  if (found.status == kSecretOk) {
    const std::int32_t status = store.replace(found.item, serviceName, accountName, password);
    if (status != kSecretOk) {
      logStatus("found new service name but modify attributes error: %ld", status);
    }
    return status;
  }
  if (found.status != kSecretItemNotFound) {
    // A keyring that cannot be searched (locked, unreachable) may well hold an
    // item of that name: adding one would make a second.
    logStatus("error finding keychain item: %ld", found.status);
    return found.status;
  }
  const std::int32_t status = store.add(serviceName, accountName, password);
  if (status != kSecretOk) logStatus("error adding keychain item: %ld", status);
  return status;
}

bool isUtf8(const std::string& text) {
  return g_utf8_validate_len(text.data(), text.size(), nullptr);
}

}  // namespace

void Zembrel::addGenericPassword(std::string_view password, std::string_view byServiceName,
                                 std::string_view accountName, std::string_view oldServiceName) {
  try {
    SecretStore store;
    lastStatus = addPassword(store, password, byServiceName, accountName, oldServiceName);
  } catch (...) {
    // Out of memory: the operation reports nothing by contract.
    lastStatus = detail::kSecretFailed;
  }
}

std::vector<std::string> Zembrel::genericPasswordByServiceName(std::string_view serviceName) {
  try {
    SecretStore store;
    const auto found = store.find(serviceName, true);
    lastStatus = found.status;
    if (found.status != kSecretOk) {
      // A missing item is an ordinary answer; anything else is worth a line.
      if (found.status != kSecretItemNotFound) {
        logStatus("error finding keychain item: %ld", found.status);
      }
      return {"", ""};
    }
    // The password ends at its first zero byte, as a C string would.
    std::string password(found.password.data(),
                         ::strnlen(found.password.data(), found.password.size()));
    std::string account = store.account(found.item);
    if (!isUtf8(password) || !isUtf8(account)) lastStatus = detail::kSecretInvalidText;
    if (!isUtf8(password)) return {};
    if (!isUtf8(account)) return {password};
    return {std::move(password), std::move(account)};
  } catch (...) {
    lastStatus = detail::kSecretFailed;
    return {"", ""};
  }
}

void Zembrel::deleteGenericPasswordFromServiceName(std::string_view serviceName) {
  try {
    SecretStore store;
    lastStatus = deletePassword(store, serviceName);
  } catch (...) {
    lastStatus = detail::kSecretFailed;
  }
}

std::int32_t Zembrel::lastKeychainStatus() const { return lastStatus; }

}  // namespace zembrel
