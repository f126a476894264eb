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
// function removes it. Without a handler, messages are dropped without trace.
// Safe from any thread at any time, also while messages are being delivered:
// a send in flight finishes with the handler it started with.
//
// Returns only when no call of the previous handler is running any more, on
// any thread, and the previous handler (with whatever it captured) has been
// destroyed: the host may free what that handler used as soon as this
// returns. Do not hold, while calling this, a lock that a handler takes.
// Called from inside a handler call, it returns at once instead (waiting
// would never end); the previous handler is then destroyed when its last
// running call returns, so free its data from its destructor.
ZEMBREL_API void setHostMessageHandler(HostMessageHandler handler);

}  // namespace zembrel
