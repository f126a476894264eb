// The keyring calls as operations of their own through the C interface: each
// on a worker thread (a call may wait for the keyring service for seconds),
// a lookup's password and account kept in the op.

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "zembrel/capi/Operation.hpp"
#include "zembrel/capi/Settings.hpp"
#include "zembrel/credentials/KeyringCall.hpp"

using zembrel::capi::OperationExtras;
using zembrel::capi::startChecked;
using zembrel::capi::text;
using zembrel::detail::KeyringCall;
using zembrel::detail::Outcome;

namespace {

// Starts `call(keyring, extras)` on a worker thread; a cancel stops the call
// before its next step.
template <class Call>
zembrel_op* startKeyringCall(zembrel_done_fn done, void* userData, Call call) {
  return zembrel::capi::newOperation(nullptr, done, userData, [&](zembrel_op* op) {
    auto keyring = std::make_shared<KeyringCall>();
    const auto token = keyring->cancelToken();
    op->setCancel([token] { token->request(); });
    zembrel::capi::finishOnWorkerThread(
        op, [keyring, call = std::move(call)](OperationExtras& extras) mutable {
          return call(*keyring, extras);
        });
  });
}

}  // namespace

extern "C" {

// The settings hold nothing for the keyring yet; taken for the day they do.

zembrel_op* zembrel_keyring_store_async(const zembrel_settings*, const char* service,
                                        const char* account, const char* password,
                                        const char* old_service, zembrel_done_fn done,
                                        void* user_data) {
  return startChecked([&] {
    return startKeyringCall(
        done, user_data,
        [password = text(password), service = text(service), account = text(account),
         oldService = text(old_service)](KeyringCall& keyring, OperationExtras&) mutable {
          const Outcome outcome = keyring.store(password, service, account, oldService);
          explicit_bzero(password.data(), password.size());
          return outcome;
        });
  });
}

zembrel_op* zembrel_keyring_lookup_async(const zembrel_settings*, const char* service,
                                         zembrel_done_fn done, void* user_data) {
  return startChecked([&] {
    return startKeyringCall(
        done, user_data, [service = text(service)](KeyringCall& keyring, OperationExtras& extras) {
          std::vector<std::string> found;
          const Outcome outcome = keyring.find(service, found);
          if (outcome.ok() && found.size() == 2) {
            extras.password = std::move(found[0]);
            extras.account = std::move(found[1]);
          }
          for (std::string& text : found) explicit_bzero(text.data(), text.size());
          return outcome;
        });
  });
}

zembrel_op* zembrel_keyring_delete_async(const zembrel_settings*, const char* service,
                                         zembrel_done_fn done, void* user_data) {
  return startChecked([&] {
    return startKeyringCall(done, user_data,
                            [service = text(service)](KeyringCall& keyring, OperationExtras&) {
                              return keyring.remove(service);
                            });
  });
}

}  // extern "C"
