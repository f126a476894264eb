#include "zembrel/credentials/KeyringCall.hpp"

#include <glib.h>

#include <cstdio>
#include <cstring>

#include "zembrel/platform/SecretStore.hpp"
#include "zembrel/platform/SystemLog.hpp"

namespace zembrel::detail {
namespace {

constexpr const char* kDomain = "Keyring";

void logStatus(const char* format, std::int32_t status) {
  char line[96];
  std::snprintf(line, sizeof line, format, static_cast<long>(status));
  systemLog(line);
}

// A keyring status in words, for people reading a failure.
std::string statusWords(std::int32_t status) {
  switch (status) {
    case kSecretItemNotFound:
      return "the keyring holds no item of that service name";
    case kSecretNotAvailable:
      return "no keyring service is reachable on the session bus";
    case kSecretRefused:
      return "the keyring service refused the request";
    case kSecretLocked:
      return "the keyring is locked";
    case kSecretInvalidText:
      return "a name or password is not UTF-8 text without zero bytes";
    case kSecretTimedOut:
      return "the keyring service did not answer in time";
    default:
      return "the keyring service failed (status " + std::to_string(status) + ")";
  }
}

Outcome outcomeOf(std::int32_t status) {
  if (status == kSecretOk) return Outcome::succeeded(0);
  return Outcome::failed(kDomain, status, statusWords(status));
}

bool isUtf8(const std::string& text) {
  return g_utf8_validate_len(text.data(), text.size(), nullptr);
}

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

// Replaces the service's item, or adds one.
std::int32_t putPassword(SecretStore& store, std::string_view password,
                         std::string_view serviceName, std::string_view accountName) {
  const auto found = store.find(serviceName, false);
  if (found.status == kSecretOk) {
    const std::int32_t status = store.replace(found.item, serviceName, accountName, password);
    if (status != kSecretOk)
      logStatus("found new service name but modify attributes error: %ld", status);
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

}  // namespace

Outcome KeyringCall::store(std::string_view password, std::string_view serviceName,
                           std::string_view accountName, std::string_view oldServiceName) {
  SecretStore store;
  if (!oldServiceName.empty()) {
    const auto old = store.find(oldServiceName, false);
    if (old.status == kSecretOk) {
      deletePassword(store, oldServiceName);
      // The old item is gone now: any failure below is logged, so the
      // password is never lost without a trace.
    } else if (old.status != kSecretItemNotFound) {
      // Nothing is stored: say why instead of failing silently.
      logStatus("error finding keychain item: %ld", old.status);
      return outcomeOf(old.status);
    }
  }
  if (cancel_->requested()) return Outcome::cancelled();
  return outcomeOf(putPassword(store, password, serviceName, accountName));
}

Outcome KeyringCall::find(std::string_view serviceName,
                          std::vector<std::string>& passwordAndAccount) {
  passwordAndAccount = {"", ""};
  SecretStore store;
  const auto found = store.find(serviceName, true);
  if (found.status != kSecretOk) {
    // A missing item is an ordinary answer; anything else is worth a line.
    if (found.status != kSecretItemNotFound)
      logStatus("error finding keychain item: %ld", found.status);
    return outcomeOf(found.status);
  }
  if (cancel_->requested()) return Outcome::cancelled();
  // The password ends at its first zero byte, as a C string would.
  std::string password(found.password.data(),
                       ::strnlen(found.password.data(), found.password.size()));
  std::string account = store.account(found.item);
  if (!isUtf8(password)) {
    passwordAndAccount.clear();
    return outcomeOf(kSecretInvalidText);
  }
  if (!isUtf8(account)) {
    passwordAndAccount = {std::move(password)};
    return outcomeOf(kSecretInvalidText);
  }
  passwordAndAccount = {std::move(password), std::move(account)};
  return outcomeOf(kSecretOk);
}

Outcome KeyringCall::remove(std::string_view serviceName) {
  SecretStore store;
  return outcomeOf(deletePassword(store, serviceName));
}

std::int32_t keyringStatus(const Outcome& outcome) {
  switch (outcome.kind) {
    case Outcome::Kind::Succeeded:
      return kSecretOk;
    case Outcome::Kind::Failed:
      return static_cast<std::int32_t>(outcome.code);
    case Outcome::Kind::Cancelled:
      break;
  }
  return kSecretTimedOut;  // the keyring's word for a request cancelled
}

}  // namespace zembrel::detail
