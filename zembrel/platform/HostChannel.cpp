#include "zembrel/platform/HostChannel.hpp"

#include <memory>
#include <mutex>

#include "zembrel/HostMessages.hpp"

namespace zembrel {
namespace {

// The handler is held by shared_ptr so that a send in flight keeps the one it
// started with while another thread replaces it.
std::mutex gHandlerMutex;
std::shared_ptr<const HostMessageHandler> gHandler;

std::shared_ptr<const HostMessageHandler> currentHandler() {
  std::lock_guard lock(gHandlerMutex);
  return gHandler;
}

}  // namespace

void setHostMessageHandler(HostMessageHandler handler) {
  std::shared_ptr<const HostMessageHandler> next;
  if (handler) next = std::make_shared<const HostMessageHandler>(std::move(handler));
  {
    std::lock_guard lock(gHandlerMutex);
    gHandler.swap(next);
  }
  // `next` now holds the previous handler and drops it here, outside the lock.
}

namespace detail {

void deliverHostMessage(std::string_view message) noexcept {
  auto handler = currentHandler();
  if (!handler) return;
  try {
    (*handler)(message);
  } catch (...) {
    // A host that fails to take a message leaves no trace; the sender goes on.
  }
}

}  // namespace detail
}  // namespace zembrel
