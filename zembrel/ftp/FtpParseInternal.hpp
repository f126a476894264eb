#pragma once

// The steps of the LIST line parser shared by its two files (the layouts in
// FtpParse.cpp, the date arithmetic and year guess in FtpDate.cpp) and
// reached directly by its tests.

#include <cstdint>
#include <optional>

namespace zembrel::detail {

// ---- Wrapping arithmetic on signed 64-bit values.
inline constexpr std::int64_t wadd(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
inline constexpr std::int64_t wsub(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
inline constexpr std::int64_t wmul(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

// Seconds that hour and minute add to a date.
inline constexpr std::int64_t timeOfDay(std::int64_t hour, std::int64_t minute) {
  return wadd(wmul(hour, 3600), wmul(minute, 60));
}

// totai without the exported name, which may be interposed and so cannot be
// inlined or kept hot: seconds from 1970-01-01 UTC to 00:00 UTC of the date,
// month from 0, out-of-range months and days rolling over.
std::int64_t calendarSeconds(std::int64_t year, std::int64_t month, std::int64_t day);

// The time value of 1970-01-01 00:00:00 UTC; valid once initbase() returned.
extern std::int64_t base;

// Bit k set when line[offset + k] is a space, for the `count` (1..64) bytes
// from `offset`; reads nothing outside line[0 .. offset+count-1].
std::uint64_t spaceMask(const char* line, int offset, int count);

// A numeric field by the parser's rule (value * 10 + byte - 48 for each byte,
// wrapping): digitRule byte by byte, fieldNumber as the layouts read fields
// of `line`, eight digits at a time where it can. Both give the same value
// for any bytes; begin and end lie inside `line`.
std::int64_t digitRule(const char* begin, const char* end);
std::int64_t fieldNumberOf(const char* line, const char* begin, const char* end);

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
