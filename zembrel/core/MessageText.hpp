#pragma once

// The texts of host messages and result texts, formatted in one place.

#include <cstdint>
#include <string>
#include <string_view>

#include "zembrel/core/Outcome.hpp"

namespace zembrel::detail {

// "#progress|%5qi": the byte count, right-aligned in at least five places.
std::string progressMessageText(std::int64_t bytes);
// "#complete|%3ld": the status, right-aligned in at least three places.
std::string completeMessageText(std::int32_t status);
// "#error|TEXT|CODE": the text as given, the code as a signed decimal.
std::string errorMessageText(std::string_view text, std::int64_t code);

// Text that came from a peer (a server's reply, libcurl's account of a
// failure), made fit for one field of a "|"-separated message or result:
// "|", CR, LF and every other control byte (C0, DEL, C1) become U+FFFD, so
// a server can neither add fields nor start a second message when the host
// reads line by line. Everything else stays as it came.
std::string peerText(std::string_view text);
// "#error|TEXT|CODE" with the peer's TEXT made safe as above.
std::string peerErrorMessageText(std::string_view text, std::int64_t code);
// "TEXT|CODE", the result of an FTP directory operation, with the peer's
// TEXT made safe as above.
std::string replyResultText(std::string_view text, std::int64_t code);

// The final host message of an operation: "#complete|%3ld" with the status,
// "#error|DOMAIN|CODE" (a peer's domain made safe as above), or
// "#error|Upload Cancelled|0".
std::string finalMessageText(const Outcome& outcome);
// The "TEXT|CODE" result of an FTP directory operation or listing: the reply
// (or the failure's domain) made safe, or "Cancelled by user|0".
std::string resultText(const Outcome& outcome);

// The result text of a simple request: "#complete|%d" with the status (no
// padding), "#error|DOMAIN|CODE", or, for the refusal while a streamed POST
// of the instance runs, "#error|setup|nil": the one result whose code is not
// a decimal, kept as hosts know it (parseHostMessage reads it as code 0).
std::string requestResultText(const Outcome& outcome);

}  // namespace zembrel::detail
