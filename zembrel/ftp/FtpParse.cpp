// The FTP LIST line parser: EPLF, UNIX long listings (with the word-for-link-
// count and bracketed-rights variants), VMS and MS-DOS lines. It allocates and
// copies nothing; the name and identifier point into the caller's bytes.
//
// Servers send anything, so every number read from digits, and the date
// arithmetic built on it, is done on 64-bit two's complement values that wrap
// (unsigned arithmetic, then converted back): a garbage field yields one
// deterministic value, never undefined behaviour.

#include "zembrel/FtpParse.hpp"

#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>

#include "zembrel/ftp/FtpParseInternal.hpp"

namespace zembrel {
namespace detail {
namespace {

// ---- Wrapping arithmetic on signed 64-bit values.
constexpr std::int64_t wadd(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
constexpr std::int64_t wsub(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
constexpr std::int64_t wmul(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

// Reads bytes [begin, end) as a decimal number: value * 10 + (byte - '0') for
// every byte, each taken as a signed 8-bit value. Non-digits are not rejected.
std::int64_t number(const char* begin, const char* end) {
  std::uint64_t value = 0;
  for (const char* p = begin; p != end; ++p) {
    const auto digit = static_cast<std::int64_t>(static_cast<signed char>(*p)) - 48;
    value = value * 10 + static_cast<std::uint64_t>(digit);
  }
  return static_cast<std::int64_t>(value);
}

// Seconds that hour and minute add to a date.
std::int64_t timeOfDay(std::int64_t hour, std::int64_t minute) {
  return wadd(wmul(hour, 3600), wmul(minute, 60));
}

constexpr char months[12][3] = {{'j', 'a', 'n'}, {'f', 'e', 'b'}, {'m', 'a', 'r'}, {'a', 'p', 'r'},
                                {'m', 'a', 'y'}, {'j', 'u', 'n'}, {'j', 'u', 'l'}, {'a', 'u', 'g'},
                                {'s', 'e', 'p'}, {'o', 'c', 't'}, {'n', 'o', 'v'}, {'d', 'e', 'c'}};

// ---- Process-wide time values.
// `base`: the time value of 1970-01-01 00:00:00 UTC; written once, inside
// flagneedbase's call_once, and read only after initbase() returned.
std::int64_t base = 0;
std::once_flag flagneedbase;
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

// A position walking one line, for the VMS and MS-DOS layouts. Every move
// reports false once it reaches the end of the line: the line is rejected.
struct Cursor {
  const char* line;
  int length;
  int pos;

  // Advances to the next byte equal to c.
  bool find(char c) {
    const void* hit = std::memchr(line + pos, c, static_cast<std::size_t>(length - pos));
    if (hit == nullptr) {
      pos = length;
      return false;
    }
    pos = static_cast<int>(static_cast<const char*>(hit) - line);
    return true;
  }
  // Advances over bytes equal to c.
  bool skip(char c) {
    while (pos < length && line[pos] == c) {
      ++pos;
    }
    return pos < length;
  }
  // Steps over the current byte.
  bool step() {
    ++pos;
    return pos < length;
  }
  char byte() const { return line[pos]; }
  std::int64_t numberSince(int mark) const { return number(line + mark, line + pos); }
};

// "+" facts "," ... tab name.
int parseEplf(ftplistresult* r, const char* line, int length) {
  int i = 1;  // start of the current fact
  for (int j = 1; j < length; ++j) {
    const char ch = line[j];
    if (ch == '\t') {
      r->name = line + j + 1;
      r->namelength = length - j - 1;
      return 1;
    }
    if (ch != ',') {
      continue;
    }
    if (i < j) {  // an empty fact says nothing
      switch (line[i]) {
        case '/':
          r->flagmaybedir = 1;
          break;
        case 'r':
          r->flagmaybefile = 1;
          break;
        case 's':
          r->sizekind = 1;
          r->size = number(line + i + 1, line + j);
          break;
        case 'm':
          initbase();
          r->timekind = 1;
          r->modtime = wadd(base, number(line + i + 1, line + j));
          break;
        case 'i':
          r->idkind = 1;
          r->id = line + i + 1;
          r->idlength = j - i - 1;
          break;
        default:
          break;
      }
    }
    i = j + 1;
  }
  return 0;  // no tab: no name
}

// Which column of a UNIX long listing the walk is in.
enum class UnixField {
  kPermissions,  // "-rw-r--r--"
  kLinkCount,    // or a word such as "folder" standing in for link count and owner
  kOwner,
  kGroupOrSize,  // the number of the last column before the month is the size
  kMonthOrSize,
  kDay,
  kTimeOrYear,  // "9:05", "23:59" or "2003"; the name starts after its space
  kName,
};

int parseUnix(ftplistresult* r, const char* line, int length) {
  switch (line[0]) {
    case 'd':
      r->flagmaybedir = 1;
      break;
    case '-':
      r->flagmaybefile = 1;
      break;
    case 'l':
      r->flagmaybedir = 1;
      r->flagmaybefile = 1;
      break;
    default:
      break;
  }

  UnixField state = UnixField::kPermissions;
  std::int64_t size = 0;
  int month = 0;
  std::int64_t day = 0;
  int i = 0;  // start of the current field
  int j = 1;
  for (; j < length && state != UnixField::kName; ++j) {
    // A field ends at a space that follows a non-space.
    if (line[j] != ' ' || line[j - 1] == ' ') {
      continue;
    }
    const char* field = line + i;
    const int n = j - i;
    switch (state) {
      case UnixField::kPermissions:
        state = UnixField::kLinkCount;
        break;
      case UnixField::kLinkCount:
        state = (n == 6 && field[0] == 'f') ? UnixField::kGroupOrSize : UnixField::kOwner;
        break;
      case UnixField::kOwner:
        state = UnixField::kGroupOrSize;
        break;
      case UnixField::kGroupOrSize:
        size = number(field, field + n);
        state = UnixField::kMonthOrSize;
        break;
      case UnixField::kMonthOrSize: {
        const int m = getmonth(field, n);
        if (m >= 0) {
          month = m;
          state = UnixField::kDay;
        } else {
          size = number(field, field + n);
        }
        break;
      }
      case UnixField::kDay:
        day = number(field, field + n);
        state = UnixField::kTimeOrYear;
        break;
      case UnixField::kTimeOrYear: {
        if ((n == 4 && field[1] == ':') || (n == 5 && field[2] == ':')) {
          const int colon = n - 3;
          const std::int64_t hour = number(field, field + colon);
          const std::int64_t minute = number(field + colon + 1, field + n);
          const std::optional<std::int64_t> date = guesstai(month, day);
          if (!date) {
            return 0;
          }
          r->timekind = 2;
          initbase();
          r->modtime = wadd(wadd(base, *date), timeOfDay(hour, minute));
        } else if (n >= 4) {
          r->timekind = 3;
          initbase();
          r->modtime = wadd(base, totai(number(field, field + n), month, day));
        } else {
          return 0;
        }
        r->name = line + j + 1;
        r->namelength = length - j - 1;
        state = UnixField::kName;
        break;
      }
      case UnixField::kName:
        break;
    }
    i = j + 1;
    while (i < length && line[i] == ' ') {
      ++i;
    }
  }
  if (state != UnixField::kName) {
    return 0;
  }

  r->sizekind = 1;
  r->size = size;

  if (line[0] == 'l') {
    // A link's name is shown as "name -> target"; keep the name.
    const std::string_view name(r->name, static_cast<std::size_t>(r->namelength));
    const std::size_t arrow = name.find(" -> ");
    if (arrow != std::string_view::npos) {
      r->namelength = static_cast<int>(arrow);
    }
  }
  // Bracketed-rights listings pad the name with three more spaces.
  if ((line[1] == ' ' || line[1] == '[') && r->namelength > 3 &&
      std::memcmp(r->name, "   ", 3) == 0) {
    r->name += 3;
    r->namelength -= 3;
  }
  return 1;
}

// "NAME.EXT;version  size  DD-MON-YYYY HH:MM[:SS] ..."; p is the first ";".
int parseVms(ftplistresult* r, const char* line, int length, int p) {
  r->name = line;
  r->namelength = p;
  if (p > 4 && std::memcmp(line + p - 4, ".DIR", 4) == 0) {
    r->namelength = p - 4;
    r->flagmaybedir = 1;
  } else {
    r->flagmaybefile = 1;
  }

  Cursor c{line, length, p};
  // Past the version number and the size column.
  if (!c.find(' ') || !c.skip(' ') || !c.find(' ') || !c.skip(' ')) {
    return 0;
  }
  int mark = c.pos;
  if (!c.find('-')) {
    return 0;
  }
  const std::int64_t day = c.numberSince(mark);
  if (!c.skip('-')) {
    return 0;
  }
  mark = c.pos;
  if (!c.find('-')) {
    return 0;
  }
  const int month = getmonth(line + mark, c.pos - mark);
  if (month < 0 || !c.skip('-')) {
    return 0;
  }
  mark = c.pos;
  if (!c.find(' ')) {
    return 0;
  }
  const std::int64_t year = c.numberSince(mark);  // four digits as given; no century added
  if (!c.skip(' ')) {
    return 0;
  }
  mark = c.pos;
  if (!c.find(':')) {
    return 0;
  }
  const std::int64_t hour = c.numberSince(mark);
  if (!c.skip(':')) {
    return 0;
  }
  mark = c.pos;
  while (c.byte() != ':' && c.byte() != ' ') {
    if (!c.step()) {
      return 0;
    }
  }
  const std::int64_t minute = c.numberSince(mark);  // seconds, if any, are dropped

  r->timekind = 2;
  initbase();
  r->modtime = wadd(wadd(base, totai(year, month, day)), timeOfDay(hour, minute));
  return 1;
}

// "MM-DD-YY  HH:MMAM  <DIR>|size  name".
int parseMsDos(ftplistresult* r, const char* line, int length) {
  Cursor c{line, length, 0};
  if (!c.find('-')) {
    return 0;
  }
  const std::int64_t month = c.numberSince(0);
  if (!c.skip('-')) {
    return 0;
  }
  int mark = c.pos;
  if (!c.find('-')) {
    return 0;
  }
  const std::int64_t day = c.numberSince(mark);
  if (!c.skip('-')) {
    return 0;
  }
  mark = c.pos;
  if (!c.find(' ')) {
    return 0;
  }
  std::int64_t year = c.numberSince(mark);
  if (year < 50) {
    year = wadd(year, 2000);
  }
  if (year < 1000) {
    year = wadd(year, 1900);
  }
  if (!c.skip(' ')) {
    return 0;
  }
  mark = c.pos;
  if (!c.find(':')) {
    return 0;
  }
  std::int64_t hour = c.numberSince(mark);
  if (!c.skip(':')) {
    return 0;
  }
  mark = c.pos;
  while (c.byte() != 'A' && c.byte() != 'P') {
    if (!c.step()) {
      return 0;
    }
  }
  const std::int64_t minute = c.numberSince(mark);
  // 12 AM is midnight, 12 PM noon.
  if (hour == 12) {
    hour = 0;
  }
  if (c.byte() == 'A' && !c.step()) {
    return 0;
  }
  if (c.byte() == 'P') {
    hour = wadd(hour, 12);
    if (!c.step()) {
      return 0;
    }
  }
  if (c.byte() == 'M' && !c.step()) {
    return 0;
  }
  if (!c.skip(' ')) {
    return 0;
  }
  if (c.byte() == '<') {  // "<DIR>"
    r->flagmaybedir = 1;
    if (!c.find(' ')) {
      return 0;
    }
  } else {
    mark = c.pos;
    if (!c.find(' ')) {
      return 0;
    }
    r->size = c.numberSince(mark);
    r->sizekind = 1;
    r->flagmaybefile = 1;
  }
  if (!c.skip(' ')) {
    return 0;
  }
  r->name = line + c.pos;
  r->namelength = length - c.pos;  // the rest of the line, inner spaces included

  r->timekind = 2;
  initbase();
  r->modtime = wadd(wadd(base, totai(year, wsub(month, 1), day)), timeOfDay(hour, minute));
  return 1;
}

}  // namespace

int getmonth(const char* text, int length) {
  if (length != 3) {
    return -1;
  }
  for (int m = 0; m < 12; ++m) {
    bool match = true;
    for (int k = 0; k < 3 && match; ++k) {
      const char letter = months[m][k];
      match = text[k] == letter || text[k] == static_cast<char>(letter - 32);
    }
    if (match) {
      return m;
    }
  }
  return -1;
}

void initbase() {
  std::call_once(flagneedbase, [] {
    base = 0;
    const std::time_t zero = 0;
    std::tm tm{};
    if (gmtime_r(&zero, &tm) == nullptr) {
      return;
    }
    base = wsub(0, wadd(totai(tm.tm_year + 1900, tm.tm_mon, tm.tm_mday),
                        timeOfDay(tm.tm_hour, tm.tm_min) + tm.tm_sec));
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

std::optional<std::int64_t> guesstai(std::int64_t month, std::int64_t day) {
  initbase();
  const std::int64_t nowCopy = wsub(currentTime(), base);
  now.store(nowCopy, std::memory_order_relaxed);
  const std::int64_t year = currentYearFor(nowCopy);
  for (std::int64_t offset = -1; offset <= 99; ++offset) {
    const std::int64_t t = totai(wadd(year, offset), month, day);
    if (wsub(nowCopy, t) < kGuessWindow) {
      return t;
    }
  }
  return std::nullopt;
}

}  // namespace detail

std::int64_t totai(std::int64_t year, std::int64_t month, std::int64_t day) {
  using detail::wadd;
  using detail::wmul;
  using detail::wsub;
  // Years run from March, so that 29 February is the last day of a year.
  std::int64_t m = 0;
  std::int64_t y = year;
  if (month >= 2) {
    m = wsub(month, 2);
  } else {
    m = wadd(month, 10);
    y = wsub(year, 1);
  }
  // Divisions truncate toward zero and remainders keep the dividend's sign,
  // as C++ does on the wrapped values.
  std::int64_t d = wadd(wadd(wmul(wsub(day, 1), 10), 5), wmul(306, m)) / 10;
  if (d == 365) {  // 29 February: the last day of a four-year cycle
    y = wsub(y, 3);
    d = 1460;
  } else {
    d = wadd(d, wmul(365, y % 4));
  }
  const std::int64_t q = y / 4;
  d = wadd(d, wmul(1461, q % 25));
  std::int64_t c = q / 25;
  if (d == 36524) {  // 29 February of a century's last leap year
    c = wsub(c, 3);
    d = 146096;
  } else {
    d = wadd(d, wmul(36524, c % 4));
  }
  d = wadd(d, wadd(wmul(146097, wsub(c / 4, 5)), 11017));  // 11017: day of 2000-03-01
  return wmul(d, 86400);
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

int ftpparse(ftplistresult* result, const char* line, int length) {
  if (result == nullptr) {
    return 0;
  }
  *result = ftplistresult{};
  if (line == nullptr || length < 2) {
    return 0;
  }
  switch (line[0]) {
    case '+':
      return detail::parseEplf(result, line, length);
    case 'b':
    case 'c':
    case 'd':
    case 'l':
    case 'p':
    case 's':
    case '-':
      return detail::parseUnix(result, line, length);
    default:
      break;
  }
  const void* semicolon = std::memchr(line, ';', static_cast<std::size_t>(length));
  if (semicolon != nullptr) {
    return detail::parseVms(result, line, length,
                            static_cast<int>(static_cast<const char*>(semicolon) - line));
  }
  if (line[0] >= '0' && line[0] <= '9') {
    return detail::parseMsDos(result, line, length);
  }
  return 0;
}

}  // namespace zembrel
