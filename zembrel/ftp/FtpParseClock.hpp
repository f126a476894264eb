#pragma once

// The clock of the LIST parser's year guess, for the parser's tests and for
// the `zembrel ftp-parse --now` command, which reproduces a listing as it
// was read at a given moment. Not part of the installed interface: the
// command line program reaches it through the shared library's export.

#include <cstdint>
#include <optional>

#include "zembrel/Export.hpp"

namespace zembrel {

// Pins the "current time" that the year guess of listing lines without a
// year compares against, in seconds since 1970-01-01 00:00:00 UTC;
// std::nullopt returns to the system clock (the default). The cached current
// year is derived again from the new time at the next guess. A parse running
// on another thread while the clock changes may see either time.
ZEMBREL_API void setFtpParseClock(std::optional<std::int64_t> pinnedNow);

}  // namespace zembrel
