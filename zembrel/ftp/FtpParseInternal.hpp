#pragma once

// The steps of the LIST line parser that its tests reach directly.

#include <cstdint>
#include <optional>

namespace zembrel::detail {

// Bit k set when line[offset + k] is a space, for the `count` (1..64) bytes
// from `offset`; reads nothing outside line[0 .. offset+count-1].
std::uint64_t spaceMask(const char* line, int offset, int count);

// Month index 0..11 of a three-byte month name in any letter case, else -1.
int getmonth(const char* text, int length);

// Computes `base` once per process (thread-safe).
void initbase();

// Seconds since 1970 UTC of 00:00 of month/day in the year guessed from the
// current time: the earliest year from last year on at which the date lies
// less than 350 days back. std::nullopt when no year of the century searched
// qualifies, which only garbage days (far outside a month) can cause.
std::optional<std::int64_t> guesstai(std::int64_t month, std::int64_t day);

// The UTC calendar year of `now` (seconds since 1970 UTC).
std::int64_t utcYear(std::int64_t now);

}  // namespace zembrel::detail
