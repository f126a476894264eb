// Digest and keyring through the C interface.

#include "zembrel/capi/Bridge.hpp"
#include "zembrel/capi/Json.hpp"

using zembrel::capi::copyOut;
using zembrel::capi::guarded;
using zembrel::capi::held;
using zembrel::capi::text;

extern "C" {

char* zembrel_md5(const zembrel_handle* z, const char* input) {
  return guarded<char*>(nullptr, [&] {
    // The digest needs no state: without an instance a short-lived one does.
    if (z != nullptr) return copyOut(held(z)->md5FromString(text(input)));
    return copyOut(zembrel::Zembrel::initZembrel()->md5FromString(text(input)));
  });
}

void zembrel_keychain_store(zembrel_handle* z, const char* password, const char* service,
                            const char* account, const char* old_service) {
  if (z == nullptr) return;
  guarded([&] {
    held(z)->addGenericPassword(text(password), text(service), text(account),
                                    text(old_service));
  });
}

char* zembrel_keychain_get(zembrel_handle* z, const char* service) {
  if (z == nullptr) return nullptr;
  return guarded<char*>(nullptr, [&] {
    return copyOut(
        zembrel::capi::stringListJson(held(z)->genericPasswordByServiceName(text(service))));
  });
}

void zembrel_keychain_delete(zembrel_handle* z, const char* service) {
  if (z == nullptr) return;
  guarded([&] { held(z)->deleteGenericPasswordFromServiceName(text(service)); });
}

int32_t zembrel_keychain_status(const zembrel_handle* z) {
  // Without an instance there is no status to read: "any other failure".
  constexpr int32_t kNoInstance = -26276;
  if (z == nullptr) return kNoInstance;
  return guarded(kNoInstance, [&] { return held(z)->lastKeychainStatus(); });
}

}  // extern "C"
