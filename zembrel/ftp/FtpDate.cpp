// Date arithmetic of the FTP LIST line parser: calendar dates to seconds since
// 1970, the epoch base, and the guess of the year for lines that give a month
// and day without one. Every step wraps instead of overflowing, as the
// parser's numbers do.

#include <atomic>
#include <ctime>
#include <mutex>

#include "zembrel/FtpParse.hpp"
#include "zembrel/ftp/FtpParseClock.hpp"
#include "zembrel/ftp/FtpParseInternal.hpp"

namespace zembrel {
namespace detail {

// ---- Process-wide time values.
// Written once, inside flagneedbase's call_once, and read only after
// initbase() returned.
std::int64_t base = 0;
// Set once base is written: spares every later call the once-flag's own cost.
std::atomic<bool> baseReady{false};

namespace {

std::once_flag flagneedbase;
// The UTC year of the current time at the first guess. Derived again after
// the clock is pinned or released, so a pinned time never meets a year that
// belongs to another time. The mutex serialises only that derivation.
std::atomic<std::int64_t> currentyear{0};
std::atomic<int> flagneedcurrentyear{1};
std::mutex currentYearMutex;
// The pinned "current time", used while clockPinned is set.
std::atomic<bool> clockPinned{false};
std::atomic<std::int64_t> pinnedTime{0};

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

// Hot, so that divisions by constants become multiplications although only
// unusual dates come here.
[[gnu::hot]] std::int64_t calendarSecondsOutsideTable(std::int64_t year, std::int64_t month,
                                                      std::int64_t day) {
  return calendarSecondsByRule(year, month, day);
}

void computeBase() {
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

GuessClock guessClock() {
  initbase();
  const std::int64_t nowCopy = wsub(currentTime(), base);
  return {nowCopy, currentYearFor(nowCopy)};
}

std::optional<std::int64_t> guessFarYears(const GuessClock& clock, std::int64_t month,
                                          std::int64_t day) {
  for (std::int64_t offset = 2; offset <= 99; ++offset) {
    const std::int64_t t = calendarSeconds(wadd(clock.year, offset), month, day);
    if (wsub(clock.now, t) < kGuessWindow) {
      return t;
    }
  }
  return std::nullopt;
}

std::optional<std::int64_t> guesstai(std::int64_t month, std::int64_t day) {
  const GuessClock clock = guessClock();
  const NearGuess near = guessNearYears(clock, month, day);
  if (near.found) {
    return near.date;
  }
  return guessFarYears(clock, month, day);
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
