#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
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

// One host message, or a result text of the same shape, taken apart.
struct HostMessage {
  // Which of the three message forms it is.
  enum class Kind {
    Progress,  // "#progress|N": `value` is the byte count
    Complete,  // "#complete|N": `value` is the status (HTTP status, FTP reply code)
    Error,     // "#error|DOMAIN|CODE": `domain` and `code`
  };
  Kind kind = Kind::Error;  // the form
  std::int64_t value = 0;  // Progress: the byte count; Complete: the status
  std::string domain;      // Error: the text between "#error|" and the last "|"
  std::int64_t code = 0;   // Error: the code after the last "|"

  // A final message: the operation ended.
  bool isFinal() const { return kind != Kind::Progress; }
  // A final message that says the operation succeeded.
  bool succeeded() const { return kind == Kind::Complete; }
};

// Takes a host message (or a simple request's result text) apart. Numbers
// are signed decimals, right-aligned with blanks as the messages pad them;
// the one documented exception, "#error|setup|nil" (a simple request refused
// while a streamed POST of the instance runs), gives code 0. Absent for any
// other text: an unknown kind, a missing field, a number that is not a
// decimal or does not fit in 64 bits. Pure: any thread.
ZEMBREL_API std::optional<HostMessage> parseHostMessage(std::string_view text);

}  // namespace zembrel
