#pragma once

// The steps of the LIST line parser shared by its two files (the layouts in
// FtpParse.cpp, the date arithmetic and year guess in FtpDate.cpp) and
// reached directly by its tests.

#include <atomic>
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

// Seconds from 1970-01-01 UTC to 00:00 UTC of the date by the calendar rule
// itself, month from 0, out-of-range months and days rolling over: what
// totai returns for every input.
constexpr std::int64_t calendarSecondsByRule(std::int64_t year, std::int64_t month,
                                             std::int64_t day) {
  // Years run from March, so that 29 February is the last day of a year.
  // The special cases are selects, not branches: months and days come in at
  // random from a listing, and a mispredicted branch costs more than the
  // arithmetic of both sides.
  const auto beforeMarch = static_cast<std::int64_t>(month < 2);
  const std::int64_t m = wadd(wsub(month, 2), beforeMarch * 12);
  std::int64_t y = wsub(year, beforeMarch);
  // Divisions truncate toward zero and remainders keep the dividend's sign,
  // as C++ does on the wrapped values.
  std::int64_t d = wadd(wadd(wmul(wsub(day, 1), 10), 5), wmul(306, m)) / 10;
  const bool lastOfCycle = d == 365;  // 29 February: the last day of a four-year cycle
  d = lastOfCycle ? 1460 : wadd(d, wmul(365, y % 4));
  y = lastOfCycle ? wsub(y, 3) : y;
  const std::int64_t q = y / 4;
  d = wadd(d, wmul(1461, q % 25));
  std::int64_t c = q / 25;
  const bool lastOfCentury = d == 36524;  // 29 February of a century's last leap year
  c = lastOfCentury ? wsub(c, 3) : c;
  d = lastOfCentury ? 146096 : wadd(d, wmul(36524, c % 4));
  d = wadd(d, wadd(wmul(146097, wsub(c / 4, 5)), 11017));  // 11017: day of 2000-03-01
  return wmul(d, 86400);
}

// The days of the dates that listings hold by the million, from a table: a
// year from 1900 to 2155 and a day from 1 to 31 (to 28 in February). There
// the rule is plain arithmetic on the day; its special cases lie at 29
// February and beyond.
struct CalendarTable {
  static constexpr std::int64_t kFirstYear = 1900;
  static constexpr std::uint64_t kYears = 256;
  std::int32_t marchFirst[kYears] = {};  // day of 1 March of kFirstYear + index
  std::int32_t monthStart[12] = {};      // days from 1 March before the month's first day
  std::uint8_t lastInPlace[12] = {};     // highest day the table holds: 28 for February
};
inline constexpr CalendarTable calendarTable = [] {
  CalendarTable table;
  for (std::uint64_t k = 0; k < CalendarTable::kYears; ++k) {
    const auto year = CalendarTable::kFirstYear + static_cast<std::int64_t>(k);
    table.marchFirst[k] = static_cast<std::int32_t>(calendarSecondsByRule(year, 2, 1) / 86400);
  }
  for (int m = 0; m < 12; ++m) {
    const std::int64_t marchYear = 2001 - (m < 2 ? 1 : 0);
    table.monthStart[m] = static_cast<std::int32_t>(
        (calendarSecondsByRule(2001, m, 1) - calendarSecondsByRule(marchYear, 2, 1)) / 86400);
    table.lastInPlace[m] = m == 1 ? 28 : 31;
  }
  return table;
}();

// The rule again, kept out of line for the inputs the table does not hold.
std::int64_t calendarSecondsOutsideTable(std::int64_t year, std::int64_t month, std::int64_t day);

// calendarSecondsByRule for any input, from the table where it holds the
// date. totai is the exported name, which may be interposed and so cannot be
// inlined.
inline std::int64_t calendarSeconds(std::int64_t year, std::int64_t month, std::int64_t day) {
  const auto m = static_cast<std::uint64_t>(month);
  if (m < 12) {
    const std::uint64_t index = static_cast<std::uint64_t>(year) -
                                static_cast<std::uint64_t>(CalendarTable::kFirstYear) -
                                static_cast<std::uint64_t>(m < 2);
    const std::uint64_t dayIndex = static_cast<std::uint64_t>(day) - 1;
    if (index < CalendarTable::kYears && dayIndex < calendarTable.lastInPlace[m]) {
      const std::int64_t days = static_cast<std::int64_t>(calendarTable.marchFirst[index]) +
                                calendarTable.monthStart[m] + static_cast<std::int64_t>(dayIndex);
      return days * 86400;
    }
  }
  return calendarSecondsOutsideTable(year, month, day);
}

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

// Computes `base` once per process (thread-safe); inlined, as every accepted
// line asks.
extern std::atomic<bool> baseReady;
void computeBase();
inline void initbase() {
  if (!baseReady.load(std::memory_order_acquire)) {
    computeBase();
  }
}

// What the year guess compares dates with: the current time (minus base)
// and the UTC year that was derived for the clock. Calls initbase().
struct GuessClock {
  std::int64_t now = 0;
  std::int64_t year = 0;
};
GuessClock guessClock();

// 350 days: a date without a year lying less than this far back keeps the
// past year; an older one is taken to be in the future.
inline constexpr std::int64_t kGuessWindow = 350 * 86400;

// The guess among last year, this year and next year, which is where every
// month and day of the calendar finds its year; `found` false when none of
// the three qualifies. Picked by selects: which year it is varies from line
// to line, and a branch or a loop's exit there would mispredict.
struct NearGuess {
  std::int64_t date = 0;
  bool found = false;
};
inline NearGuess guessNearYears(const GuessClock& clock, std::int64_t month, std::int64_t day) {
  const std::int64_t lastYear = calendarSeconds(wsub(clock.year, 1), month, day);
  const std::int64_t thisYear = calendarSeconds(clock.year, month, day);
  const std::int64_t nextYear = calendarSeconds(wadd(clock.year, 1), month, day);
  const bool inLastYear = wsub(clock.now, lastYear) < kGuessWindow;
  const bool inThisYear = wsub(clock.now, thisYear) < kGuessWindow;
  const bool inNextYear = wsub(clock.now, nextYear) < kGuessWindow;
  const std::int64_t laterYear = inThisYear ? thisYear : nextYear;
  return {inLastYear ? lastYear : laterYear, inLastYear || inThisYear || inNextYear};
}

// The rest of the guess when the near years do not qualify: the years from
// two ahead on, up to 99.
std::optional<std::int64_t> guessFarYears(const GuessClock& clock, std::int64_t month,
                                          std::int64_t day);

// Seconds since 1970 UTC of 00:00 of month/day in the year guessed from the
// current time: the earliest year from last year on at which the date lies
// less than 350 days back. std::nullopt when no year of the century searched
// qualifies, which only garbage days (far outside a month) can cause.
std::optional<std::int64_t> guesstai(std::int64_t month, std::int64_t day);

// The UTC calendar year of `now` (seconds since 1970 UTC).
std::int64_t utcYear(std::int64_t now);

}  // namespace zembrel::detail
