#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace zembrel::detail {

// Statuses of the keyring layer: 0 is success; every kind of failure has its
// own negative value, so a logged status says what happened.
inline constexpr std::int32_t kSecretOk = 0;
// No item carries that service name (the one value callers branch on).
inline constexpr std::int32_t kSecretItemNotFound = -25300;
// No session bus, or nothing on it serves the Secret Service.
inline constexpr std::int32_t kSecretNotAvailable = -25291;
// The service refused the request (access denied, a prompt was dismissed).
inline constexpr std::int32_t kSecretRefused = -25293;
// The item's collection (or the default one, for a new item) is locked. We
// never unlock: that needs a prompt, which could outlast the time limit.
inline constexpr std::int32_t kSecretLocked = -25308;
// A service or account name that is not valid UTF-8 or holds a zero byte: the
// Secret Service would cut it or answer "missing".
inline constexpr std::int32_t kSecretInvalidText = -50;
// No answer within the time limit; the request was cancelled.
inline constexpr std::int32_t kSecretTimedOut = -60;
// Any other failure of the bus or the service.
inline constexpr std::int32_t kSecretFailed = -26276;

// Hosts call the keyring from their UI thread: no use of a SecretStore blocks
// longer than this, all its calls together.
inline constexpr std::chrono::milliseconds kSecretTimeLimit{5000};

// A keyring item found by SecretStore::find. Keeps the item alive; copies
// share it. Usable only with the store that found it.
struct KeyringItem;
using KeyringItemHandle = std::shared_ptr<KeyringItem>;

struct KeyringLookup {
  std::int32_t status = kSecretItemNotFound;
  KeyringItemHandle item;  // set exactly when status is kSecretOk
  std::string password;    // the secret's bytes, when asked for
};

// Items in the user's keyring (the Secret Service on the session bus), each
// with the string attributes "service" and "account" and a password.
//
// One object serves one operation: it starts the time limit, and holds a
// process-wide lock until it goes, so keyring operations of several threads
// run one after another; never make a second one on a thread that holds one.
// Use it on the thread that made it. The service proxy survives between
// operations (on the process's session bus connection, whose exit-on-close
// is turned off: a lost bus never ends the process) and is made anew after
// the bus went away.
class SecretStore {
 public:
  explicit SecretStore(std::chrono::milliseconds timeLimit = kSecretTimeLimit);
  SecretStore(const SecretStore&) = delete;
  SecretStore& operator=(const SecretStore&) = delete;
  ~SecretStore();

  // The first item whose service attribute is `service`, whatever its account
  // or the program that made it. With `withPassword`, also its secret; an
  // item that is locked then fails with kSecretLocked.
  KeyringLookup find(std::string_view service, bool withPassword);

  // A new item in the default collection, labelled with the service name.
  std::int32_t add(std::string_view service, std::string_view account, std::string_view password);

  // Sets the item's password, then its service and account (other attributes
  // stay). Password first: a failure in between leaves the new password under
  // the old names, never an item with the new names and the old password.
  std::int32_t replace(const KeyringItemHandle& item, std::string_view service,
                       std::string_view account, std::string_view password);

  // The item's account attribute as found; "" when it has none.
  std::string account(const KeyringItemHandle& item) const;

  std::int32_t remove(const KeyringItemHandle& item);

 private:
  struct Operation;
  std::unique_ptr<Operation> operation_;
};

}  // namespace zembrel::detail
