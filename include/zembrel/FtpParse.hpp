#pragma once

#include <cstdint>

#include "zembrel/Export.hpp"

namespace zembrel {

// The parse of one FTP LIST line. `name` and `id` point into the caller's
// line and stay valid as long as those bytes do; they are not terminated.
struct ftplistresult {
  const char* name;    // first byte of the entry's name; null until a layout sets it
  int namelength;      // bytes of the name; may be 0
  int flagmaybedir;    // 1: changing into the entry may succeed
  int flagmaybefile;   // 1: retrieving the entry may succeed (both 1 for a link)
  int sizekind;        // 0: no size; 1: `size` is the size in bytes
  std::int64_t size;
  int timekind;        // 0: none; 1: exact; 2: local time to the minute, taken as UTC; 3: date only
  std::int64_t modtime;  // `base` + seconds since 1970-01-01 00:00:00 UTC
  int idkind;          // 1: `id` holds the server's identifier for the file
  const char* id;
  int idlength;
};

// Parses one line (no line feed; a carriage return before it counts as
// content). Reads only line[0 .. length-1]. Returns 1 for an entry, 0 otherwise.
ZEMBREL_API int ftpparse(ftplistresult* result, const char* line, int length);

}  // namespace zembrel
