// Date arithmetic of the FTP LIST line parser: calendar dates to seconds since
// 1970, the epoch base, and the guess of the year for lines that give a month
// and day without one. Every step wraps instead of overflowing, as the
// parser's numbers do.

#include <algorithm>
#include <atomic>
#include <ctime>
#include <mutex>

#include "zembrel/FtpParse.hpp"
#include "zembrel/ftp/FtpParseInternal.hpp"

namespace zembrel {
namespace detail {

// ---- Process-wide time values.
// Written once, inside flagneedbase's call_once, and read only after
// initbase() returned.
std::int64_t base = 0;

namespace {

std::once_flag flagneedbase;
// Set once base is written: spares every later call the once-flag's own cost.
std::atomic<bool> baseReady{false};
// The current time (minus base) that the latest year guess used. Each guess
// works on its own copy; this one is only a record.
std::atomic<std::int64_t> now{0};
// The UTC year of the current time at the first guess. Derived again after
// the clock is pinned or released, so a pinned time never meets a year that
// belongs to another time. The mutex serialises only that derivation.
std::atomic<std::int64_t> currentyear{0};
std::atomic<int> flagneedcurrentyear{1};
std::mutex currentYearMutex;
// The pinned "current time", used while clockPinned is set.
std::atomic<bool> clockPinned{false};
std::atomic<std::int64_t> pinnedTime{0};

// 350 days: a date without a year lying less than this far back keeps the
// past year; an older one is taken to be in the future.
constexpr std::int64_t kGuessWindow = 350 * 86400;

std::int64_t currentTime() {
  if (clockPinned.load(std::memory_order_acquire)) {
    return pinnedTime.load(std::memory_order_relaxed);
  }
  return static_cast<std::int64_t>(std::time(nullptr));
}

std::int64_t currentYearFor(std::int64_t nowCopy) {
  if (flagneedcurrentyear.load(std::memory_order_acquire) != 0) {
    std::lock_guard<std::mutex> lock(currentYearMutex);
    if (flagneedcurrentyear.load(std::memory_order_relaxed) != 0) {
      currentyear.store(utcYear(nowCopy), std::memory_order_relaxed);
      flagneedcurrentyear.store(0, std::memory_order_release);
    }
  }
  return currentyear.load(std::memory_order_relaxed);
}

}  // namespace

// Hot, so that divisions by constants become multiplications even where the
// caller's path looks rare.
[[gnu::hot]] std::int64_t calendarSeconds(std::int64_t year, std::int64_t month, std::int64_t day) {
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

void initbase() {
  if (baseReady.load(std::memory_order_acquire)) {
    return;
  }
  std::call_once(flagneedbase, [] {
    base = 0;
    const std::time_t zero = 0;
    std::tm tm{};
    if (gmtime_r(&zero, &tm) != nullptr) {
      base = wsub(0, wadd(calendarSeconds(tm.tm_year + 1900, tm.tm_mon, tm.tm_mday),
                          timeOfDay(tm.tm_hour, tm.tm_min) + tm.tm_sec));
    }
    baseReady.store(true, std::memory_order_release);
  });
}

std::int64_t utcYear(std::int64_t nowValue) {
  // Every intermediate stays far inside 64 bits: nowValue / 86400 is below
  // 2^47 in magnitude, so plain arithmetic cannot overflow here.
  std::int64_t day = nowValue / 86400;
  if (nowValue % 86400 < 0) {
    day -= 1;
  }
  day -= 11017;  // days of 2000-03-01, from which years run March to February
  std::int64_t year = 5 + day / 146097;
  day = day % 146097;
  if (day < 0) {
    day += 146097;
    year -= 1;
  }
  year *= 4;
  if (day == 146096) {
    year += 3;
    day = 36524;
  } else {
    year += day / 36524;
    day %= 36524;
  }
  year = year * 25 + day / 1461;
  day %= 1461;
  year *= 4;
  if (day == 1460) {
    year += 3;
    day = 365;
  } else {
    year += day / 365;
    day %= 365;
  }
  if ((day * 10 + 5) / 306 >= 10) {  // January or February: next calendar year
    year += 1;
  }
  return year;
}

namespace {

// The earliest year from last year on at which the date lies less than the
// window back from nowCopy.
std::optional<std::int64_t> searchYear(std::int64_t nowCopy, std::int64_t year, std::int64_t month,
                                       std::int64_t day) {
  for (std::int64_t offset = -1; offset <= 99; ++offset) {
    const std::int64_t t = calendarSeconds(wadd(year, offset), month, day);
    if (wsub(nowCopy, t) < kGuessWindow) {
      return t;
    }
  }
  return std::nullopt;
}

// The guesses of one thread for one current second and year, by month and
// day: the lines of a listing are read within a second or two and share a
// few dates, so the search above runs about once per date. The guess is a
// function of exactly these four values.
struct GuessCache {
  static constexpr int kDays = 32;  // days 0 to 31
  std::int64_t now = 0;
  std::int64_t year = 0;
  std::uint64_t filled[12 * kDays / 64] = {};
  std::int64_t value[12 * kDays] = {};
};

}  // namespace

std::optional<std::int64_t> guesstai(std::int64_t month, std::int64_t day) {
  initbase();
  const std::int64_t nowCopy = wsub(currentTime(), base);
  now.store(nowCopy, std::memory_order_relaxed);
  const std::int64_t year = currentYearFor(nowCopy);
  if (month < 0 || month >= 12 || day < 0 || day >= GuessCache::kDays) {
    return searchYear(nowCopy, year, month, day);
  }
  thread_local GuessCache threadCache;
  GuessCache& cache = threadCache;  // one look-up of the thread's block
  if (cache.now != nowCopy || cache.year != year) {
    cache.now = nowCopy;
    cache.year = year;
    std::fill(std::begin(cache.filled), std::end(cache.filled), 0);
  }
  const auto slot = static_cast<std::size_t>(month * GuessCache::kDays + day);
  const std::uint64_t bit = std::uint64_t{1} << (slot % 64);
  if ((cache.filled[slot / 64] & bit) != 0) {
    return cache.value[slot];
  }
  const std::optional<std::int64_t> guess = searchYear(nowCopy, year, month, day);
  if (guess) {  // every day 0 to 31 finds its year; kept general all the same
    cache.value[slot] = *guess;
    cache.filled[slot / 64] |= bit;
  }
  return guess;
}

}  // namespace detail

std::int64_t totai(std::int64_t year, std::int64_t month, std::int64_t day) {
  return detail::calendarSeconds(year, month, day);
}

std::int64_t ftpParseBase() {
  detail::initbase();
  return detail::base;
}

void setFtpParseClock(std::optional<std::int64_t> pinnedNow) {
  std::lock_guard<std::mutex> lock(detail::currentYearMutex);
  if (pinnedNow) {
    detail::pinnedTime.store(*pinnedNow, std::memory_order_relaxed);
    detail::clockPinned.store(true, std::memory_order_release);
  } else {
    detail::clockPinned.store(false, std::memory_order_release);
  }
  detail::flagneedcurrentyear.store(1, std::memory_order_release);
}

}  // namespace zembrel
