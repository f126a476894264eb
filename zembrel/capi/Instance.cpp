// Instances, host messages and the main loop through the C interface.

#include <cstdlib>
#include <string>

#include "zembrel/HostMessages.hpp"
#include "zembrel/capi/Bridge.hpp"
#include "zembrel/capi/Json.hpp"
#include "zembrel/platform/RunLoop.hpp"

#ifndef ZEMBREL_VERSION_TEXT
#define ZEMBREL_VERSION_TEXT "unknown"
#endif

using zembrel::capi::copyOut;
using zembrel::capi::guarded;
using zembrel::capi::held;
using zembrel::capi::text;

namespace {

// A C host's handler: its user data is handed to `destroy` when the last copy
// of the installed handler goes, which is after its last call has returned.
class CHandler {
 public:
  CHandler(zembrel_message_fn fn, void* userData, zembrel_destroy_fn destroy)
      : fn_(fn), userData_(userData), destroy_(destroy) {}
  CHandler(const CHandler&) = delete;
  CHandler& operator=(const CHandler&) = delete;
  ~CHandler() {
    if (destroy_ != nullptr) destroy_(userData_);
  }

  void operator()(std::string_view message) const {
    // The view is not terminated; the host gets a C string.
    const std::string terminated(message);
    fn_(terminated.c_str(), userData_);
  }

 private:
  zembrel_message_fn fn_;
  void* userData_;
  zembrel_destroy_fn destroy_;
};

}  // namespace

extern "C" {

void zembrel_set_message_handler_full(zembrel_message_fn fn, void* user_data,
                                      zembrel_destroy_fn destroy) {
  std::shared_ptr<CHandler> handler;
  try {
    // Made first, so that user_data is destroyed exactly once, whatever fails.
    handler = std::make_shared<CHandler>(fn, user_data, destroy);
  } catch (...) {
    if (destroy != nullptr) destroy(user_data);
    return;
  }
  guarded([&] {
    if (fn == nullptr) {
      zembrel::setHostMessageHandler(nullptr);
      return;
    }
    zembrel::setHostMessageHandler(
        [handler = std::move(handler)](std::string_view message) { (*handler)(message); });
  });
}

void zembrel_set_message_handler(zembrel_message_fn fn, void* user_data) {
  zembrel_set_message_handler_full(fn, user_data, nullptr);
}

char* zembrel_parse_message(const char* message) {
  if (message == nullptr) return nullptr;
  return guarded<char*>(nullptr, [&] {
    const auto parsed = zembrel::parseHostMessage(message);
    return parsed ? copyOut(zembrel::capi::hostMessageJson(*parsed)) : nullptr;
  });
}

int zembrel_iterate(int may_block) {
  return guarded(0, [&] {
    return zembrel::detail::MainContext::threadDefault().iterate(may_block != 0) ? 1 : 0;
  });
}

zembrel_handle* zembrel_new(void) {
  return guarded<zembrel_handle*>(nullptr, [] {
    auto handle = std::make_unique<zembrel_handle>();
    handle->instance = zembrel::Zembrel::initZembrel();
    return handle.release();
  });
}

zembrel_handle* zembrel_ref(zembrel_handle* z) {
  if (z != nullptr) z->references.fetch_add(1, std::memory_order_relaxed);
  return z;
}

void zembrel_unref(zembrel_handle* z) {
  if (z == nullptr) return;
  if (z->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete z;
}

void zembrel_free(void* p) { std::free(p); }

const char* zembrel_version(void) { return ZEMBREL_VERSION_TEXT; }

void zembrel_set_progress_event_interval(zembrel_handle* z, double seconds) {
  if (z != nullptr) held(z)->setProgressEventInterval(seconds);
}

char* zembrel_snapshot(const zembrel_handle* z) {
  if (z == nullptr) return nullptr;
  return guarded<char*>(
      nullptr, [&] { return copyOut(zembrel::capi::snapshotJson(held(z)->snapshot())); });
}

void zembrel_send_message(zembrel_handle* z, const char* message) {
  if (z == nullptr) return;
  guarded([&] { held(z)->sendOpenToApplicationWithString(text(message)); });
}

void zembrel_send_progress(zembrel_handle* z) {
  if (z == nullptr) return;
  guarded([&] { held(z)->sendAppleEventProgress(); });
}

void zembrel_send_ftp_progress(zembrel_handle* z, uint64_t bytes) {
  if (z == nullptr) return;
  guarded([&] { held(z)->sendAppleEventFTPProgress(bytes); });
}

void zembrel_send_complete(zembrel_handle* z, uint32_t status) {
  if (z == nullptr) return;
  guarded([&] { held(z)->sendAppleEventCompleteWithStatusCode(status); });
}

void zembrel_send_error(zembrel_handle* z, const char* message, int32_t code) {
  if (z == nullptr) return;
  guarded([&] { held(z)->sendAppleEventError(text(message), code); });
}

}  // extern "C"
