#pragma once

// A request to stop one operation. The operation owns its token and shares it
// with whoever may cancel it (the instance, a host handle, another thread);
// once the operation has ended, a request changes nothing that anyone acts on,
// so a late cancel can never reach the next operation.

#include <atomic>
#include <memory>

namespace zembrel::detail {

class CancelToken {
 public:
  // From any thread, any number of times.
  void request() noexcept { requested_.store(true, std::memory_order_release); }
  bool requested() const noexcept { return requested_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> requested_{false};
};

using CancelTokenPtr = std::shared_ptr<CancelToken>;

inline CancelTokenPtr makeCancelToken() { return std::make_shared<CancelToken>(); }

}  // namespace zembrel::detail
