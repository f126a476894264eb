#pragma once

#include <string_view>

namespace zembrel::detail {

// Hands one message to the host's handler, synchronously on this thread.
// Without a handler the message is dropped. Never throws: a handler that
// throws is treated like a host that refused the message.
void deliverHostMessage(std::string_view message) noexcept;

}  // namespace zembrel::detail
