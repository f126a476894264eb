#pragma once

#include <functional>
#include <string_view>

#include "zembrel/Export.hpp"

namespace zembrel {

// Receives every host message ("#progress|…", "#complete|…", "#error|…") as
// one line of text, unchanged. It is called synchronously on the thread that
// sends the message: the host's main thread for the streamed POST and the
// final FTP message, the FTP worker thread for FTP progress. The sender waits
// until the handler returns.
using HostMessageHandler = std::function<void(std::string_view message)>;

// Installs the process-wide handler, replacing the previous one; an empty
// function removes it. Safe from any thread at any time, also while messages
// are being delivered: a send in flight finishes with the handler it started
// with. Without a handler, messages are dropped without trace.
ZEMBREL_API void setHostMessageHandler(HostMessageHandler handler);

}  // namespace zembrel
