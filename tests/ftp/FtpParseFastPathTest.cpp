// The parser's shortcuts against the plain rules they stand for: dates from
// the calendar table against the calendar rule, the year guess over the
// table's edges, and the ";" of a VMS line found wherever it lies.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "zembrel/FtpParse.hpp"
#include "zembrel/ftp/FtpParseClock.hpp"
#include "zembrel/ftp/FtpParseInternal.hpp"

namespace zembrel {
namespace {

using detail::calendarSecondsByRule;
using detail::CalendarTable;

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// Every month and day around the months, in every year the table holds and
// two beyond it on each side, and values far outside the calendar.
TEST(CalendarTable, AgreesWithTheRule) {
  const std::int64_t first = CalendarTable::kFirstYear;
  const std::int64_t last = first + static_cast<std::int64_t>(CalendarTable::kYears) - 1;
  for (std::int64_t year = first - 2; year <= last + 2; ++year) {
    for (std::int64_t month = -1; month <= 12; ++month) {
      for (std::int64_t day = -1; day <= 33; ++day) {
        ASSERT_EQ(totai(year, month, day), calendarSecondsByRule(year, month, day))
            << year << "-" << month << "-" << day;
      }
    }
  }
  for (const std::int64_t far :
       {kMin, kMin + 1, std::int64_t{-1}, std::int64_t{0}, kMax - 1, kMax}) {
    using Date = std::tuple<std::int64_t, std::int64_t, std::int64_t>;
    for (const auto& [year, month, day] :
         {Date{far, 0, 1}, Date{2000, far, 1}, Date{2000, 1, far}}) {
      EXPECT_EQ(totai(year, month, day), calendarSecondsByRule(year, month, day))
          << year << "-" << month << "-" << day;
    }
  }
}

// The guess by its rule (the earliest year from last year on at which the
// date lies less than 350 days back), with the rule's own dates.
std::optional<std::int64_t> guessByRule(std::int64_t now, std::int64_t month, std::int64_t day) {
  const std::int64_t year = detail::utcYear(now);
  for (std::int64_t candidate = year - 1; candidate <= year + 99; ++candidate) {
    const std::int64_t t = calendarSecondsByRule(candidate, month, day);
    if (now - t < 350 * kDay) return t;
  }
  return std::nullopt;
}

// Clocks whose last, current or next year lies outside the table, so that
// the guess mixes dates from the table and from the rule; and days that no
// month has, which the near years may not hold.
TEST(CalendarTable, YearGuessAtTheTableEdgesAsTheRule) {
  const std::int64_t firstYear = calendarSecondsByRule(CalendarTable::kFirstYear, 0, 1);
  const std::int64_t pastLast = calendarSecondsByRule(
      CalendarTable::kFirstYear + static_cast<std::int64_t>(CalendarTable::kYears), 0, 1);
  for (const std::int64_t now : {firstYear + 3600, firstYear + 400 * kDay, pastLast - 1,
                                 pastLast + 3600, pastLast - 300 * kDay}) {
    setFtpParseClock(now);
    for (std::int64_t month = -1; month <= 12; ++month) {
      for (const int day : {-400, -1, 0, 1, 28, 29, 31, 32, 40, 366, 800, 40000}) {
        ASSERT_EQ(detail::guesstai(month, day), guessByRule(now, month, day))
            << now << " " << month << " " << day;
      }
    }
  }
  setFtpParseClock(std::nullopt);
}

int parseExact(const std::string& bytes) {
  const auto line = std::make_unique<char[]>(bytes.size());  // ASan sees overreads
  std::memcpy(line.get(), bytes.data(), bytes.size());
  ftplistresult r{};
  return ftpparse(&r, line.get(), static_cast<int>(bytes.size()));
}

// An MS-DOS line that a ";" anywhere turns into a VMS line, which this one
// is not (nothing follows the version). The first 64 bytes are searched
// together with the spaces of the columns, the rest on its own.
TEST(VmsSemicolon, FoundAtEveryPosition) {
  const std::string dos = "06-30-03  11:45PM                 1024 " + std::string(70, 'n');
  ASSERT_EQ(parseExact(dos), 1);
  for (const std::size_t at :
       {std::size_t{0}, std::size_t{15}, std::size_t{16}, std::size_t{39}, std::size_t{62},
        std::size_t{63}, std::size_t{64}, std::size_t{65}, std::size_t{80}, dos.size() - 1}) {
    std::string line = dos;
    line[at] = ';';
    EXPECT_EQ(parseExact(line), 0) << "\";\" at " << at;
  }
  for (std::size_t length = 2; length <= dos.size(); ++length) {
    std::string line = dos.substr(0, length);
    line.back() = ';';
    EXPECT_EQ(parseExact(line), 0) << "\";\" ends a line of " << length << " bytes";
  }
}

// A VMS name longer than the first 64 bytes: its ";" lies after them.
TEST(VmsSemicolon, LongNameIsStillVms) {
  for (const std::size_t nameLength : {std::size_t{60}, std::size_t{64}, std::size_t{100}}) {
    const std::string name(nameLength, 'A');
    const std::string bytes = name + ";1  4  7-JUN-2001 08:15 x";
    const auto line = std::make_unique<char[]>(bytes.size());
    std::memcpy(line.get(), bytes.data(), bytes.size());
    ftplistresult r{};
    ASSERT_EQ(ftpparse(&r, line.get(), static_cast<int>(bytes.size())), 1) << nameLength;
    EXPECT_EQ(r.namelength, static_cast<int>(nameLength));
    EXPECT_EQ(r.modtime - ftpParseBase(), calendarSecondsByRule(2001, 5, 7) + 8 * 3600 + 15 * 60);
  }
}

}  // namespace
}  // namespace zembrel
