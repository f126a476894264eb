#pragma once

#include <cstdint>

#include "zembrel/Export.hpp"

namespace zembrel {

// The parse of one FTP LIST line. `name` and `id` point into the caller's
// line and stay valid as long as those bytes do; they are not terminated.
struct ftplistresult {
  const char* name;   // first byte of the entry's name; null until a layout sets it
  int namelength;     // bytes of the name; may be 0
  int flagmaybedir;   // 1: changing into the entry may succeed
  int flagmaybefile;  // 1: retrieving the entry may succeed (both 1 for a link)
  int sizekind;       // 0: no size; 1: `size` is the size in bytes
  std::int64_t size;  // bytes, when sizekind is 1
  int timekind;  // 0: none; 1: exact; 2: local time to the minute, taken as UTC; 3: date only
  std::int64_t modtime;  // `base` + seconds since 1970-01-01 00:00:00 UTC
  int idkind;            // 1: `id` holds the server's identifier for the file
  const char* id;  // first byte of the identifier, when idkind is 1; not terminated
  int idlength;    // bytes of the identifier
};

// Parses one line (no line feed; a carriage return before it counts as
// content). Reads only line[0 .. length-1]. Returns 1 for an entry, 0 otherwise;
// after 0 the record may hold fields set before the line was rejected.
// Pure apart from the clock and the current year that the year guess reads:
// safe to call from any thread.
// Numbers read from digits wrap in two's complement, so a garbage field gives
// one deterministic value, never a failure.
ZEMBREL_API int ftpparse(ftplistresult* result, const char* line, int length);

// Seconds from 1970-01-01 00:00:00 UTC to 00:00 UTC of the given date. `month`
// counts from 0 (January); months and days out of range roll over (month 12
// of 2003 is January 2004, day 0 of January 2000 is 1999-12-31, month -1 of
// 2002 is December 2001). 29 February of a common year gives 29 February of
// the leap year before it. Values far outside the calendar wrap in two's
// complement instead of overflowing.
ZEMBREL_API std::int64_t totai(std::int64_t year, std::int64_t month, std::int64_t day);

// The value of `modtime` that stands for 1970-01-01 00:00:00 UTC (0 on this
// platform, whose time count starts there). modtime - ftpParseBase() is
// seconds since 1970 UTC.
ZEMBREL_API std::int64_t ftpParseBase();

}  // namespace zembrel
