// The LIST line parser, layout by layout. Every line is parsed from a heap
// buffer of exactly its length, so AddressSanitizer catches any read past it.
// The year guess runs against a pinned current time: 2026-12-06 05:00:00 UTC.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "zembrel/FtpParse.hpp"
#include "zembrel/ftp/FtpParseClock.hpp"
#include "zembrel/ftp/FtpParseInternal.hpp"

namespace zembrel {
namespace {

constexpr std::int64_t kNow = 1796533200;  // 2026-12-06 05:00:00 UTC
constexpr std::int64_t kDay = 86400;

// A line in a heap buffer of exactly its size (no terminator after it).
class ExactLine {
 public:
  explicit ExactLine(std::string_view bytes)
      : size_(bytes.size()), bytes_(std::make_unique<char[]>(bytes.size())) {
    if (!bytes.empty()) {
      std::memcpy(bytes_.get(), bytes.data(), bytes.size());
    }
  }
  const char* data() const { return bytes_.get(); }
  int size() const { return static_cast<int>(size_); }
  // Whether [p, p + length) lies inside the line.
  bool holds(const char* p, int length) const {
    return p != nullptr && length >= 0 && p >= data() && p + length <= data() + size_;
  }

 private:
  std::size_t size_;
  std::unique_ptr<char[]> bytes_;
};

// The record as values, `modtime` less `base`, so failures print a readable diff.
struct Entry {
  int result = 0;
  std::optional<std::string> name;  // nullopt: no name pointer set
  int flagmaybedir = 0;
  int flagmaybefile = 0;
  int sizekind = 0;
  std::int64_t size = 0;
  int timekind = 0;
  std::int64_t modtime = 0;
  int idkind = 0;
  std::optional<std::string> id;
  bool operator==(const Entry&) const = default;

  // Builders for expected records: each returns a copy with fields added.
  Entry dir() const {
    Entry e = *this;
    e.flagmaybedir = 1;
    return e;
  }
  Entry file() const {
    Entry e = *this;
    e.flagmaybefile = 1;
    return e;
  }
  Entry sized(std::int64_t bytes) const {
    Entry e = *this;
    e.sizekind = 1;
    e.size = bytes;
    return e;
  }
  Entry at(int kind, std::int64_t seconds) const {
    Entry e = *this;
    e.timekind = kind;
    e.modtime = seconds;
    return e;
  }
  Entry withId(std::string text) const {
    Entry e = *this;
    e.idkind = 1;
    e.id = std::move(text);
    return e;
  }
};

void PrintTo(const Entry& e, std::ostream* os) {
  const auto text = [](const std::optional<std::string>& s) {
    return s ? "\"" + *s + "\" (" + std::to_string(s->size()) + " bytes)" : std::string("null");
  };
  *os << "{result " << e.result << ", name " << text(e.name) << ", dir " << e.flagmaybedir
      << ", file " << e.flagmaybefile << ", sizekind " << e.sizekind << ", size " << e.size
      << ", timekind " << e.timekind << ", modtime " << e.modtime << ", idkind " << e.idkind
      << ", id " << text(e.id) << "}";
}

Entry parse(std::string_view bytes) {
  const ExactLine line(bytes);
  ftplistresult r;
  std::memset(&r, 0x5a, sizeof r);  // the parser must clear what it does not set
  Entry e;
  e.result = ftpparse(&r, line.data(), line.size());
  if (r.name != nullptr) {
    EXPECT_TRUE(line.holds(r.name, r.namelength)) << "name outside the line";
    e.name = std::string(r.name, static_cast<std::size_t>(r.namelength));
  }
  if (r.id != nullptr) {
    EXPECT_TRUE(line.holds(r.id, r.idlength)) << "id outside the line";
    e.id = std::string(r.id, static_cast<std::size_t>(r.idlength));
  }
  e.flagmaybedir = r.flagmaybedir;
  e.flagmaybefile = r.flagmaybefile;
  e.sizekind = r.sizekind;
  e.size = r.size;
  e.timekind = r.timekind;
  e.modtime = r.modtime - (r.timekind != 0 ? ftpParseBase() : 0);
  e.idkind = r.idkind;
  return e;
}

class PinnedClock : public ::testing::Test {
 protected:
  void SetUp() override { setFtpParseClock(kNow); }
  void TearDown() override { setFtpParseClock(std::nullopt); }
};

struct LineCase {
  const char* label;
  std::string line;
  Entry expected;
  // Rejected lines may leave fields set before the rejection; unless the whole
  // record is pinned down, only the result is compared.
  bool wholeRecord = true;
};

std::ostream& operator<<(std::ostream& os, const LineCase& c) { return os << c.label; }

class ListingLine : public PinnedClock, public ::testing::WithParamInterface<LineCase> {};

TEST_P(ListingLine, ParsesAsExpected) {
  const LineCase& c = GetParam();
  const Entry actual = parse(c.line);
  if (c.wholeRecord) {
    EXPECT_EQ(actual, c.expected) << "line: " << c.line;
  } else {
    EXPECT_EQ(actual.result, c.expected.result) << "line: " << c.line;
  }
}

// Every prefix of a recognised or rejected line is a line a server could have
// cut short; none may be read past its end.
TEST_P(ListingLine, EveryPrefixStaysInsideTheLine) {
  const std::string& full = GetParam().line;
  for (std::size_t n = 0; n <= full.size(); ++n) {
    const Entry e = parse(std::string_view(full).substr(0, n));
    EXPECT_TRUE(e.result == 0 || e.result == 1);
  }
}

std::string labelOf(const ::testing::TestParamInfo<LineCase>& info) { return info.param.label; }

Entry rejected() { return Entry{}; }

// An accepted entry, with the fields its layout sets added one by one.
Entry accepted(std::string name) {
  Entry e;
  e.result = 1;
  e.name = std::move(name);
  return e;
}

INSTANTIATE_TEST_SUITE_P(
    Eplf, ListingLine,
    ::testing::Values(
        LineCase{"FileWithSizeAndTime", "+m1000000000,s1234,r,\treport.txt",
                 accepted("report.txt").file().sized(1234).at(1, 1000000000)},
        LineCase{"DirectoryWithId", "+i77.3,/,\tphotos", accepted("photos").dir().withId("77.3")},
        LineCase{"NoTab", "+s5,r", rejected(), false}, LineCase{"EmptyName", "+\t", accepted("")},
        LineCase{"EmptyFactsAndUnendedFactIgnored", "+,,r,s9\tx", accepted("x").file()},
        LineCase{"SizeBeyond64BitsWraps", "+s18446744073709551615,\tbig",
                 accepted("big").sized(-1)},
        LineCase{"TabInsideNameKept", "+r,\ta\tb", accepted("a\tb").file()}),
    labelOf);

INSTANTIATE_TEST_SUITE_P(
    Unix, ListingLine,
    ::testing::Values(
        LineCase{"FileWithYear", "-rw-r--r--   1 owner  group     4096 Mar 15  2003 notes.txt",
                 accepted("notes.txt").file().sized(4096).at(3, 1047686400)},
        LineCase{"ExtraColumnsBeforeSize", "-rw-r--r-- 1 owner extra group 2048 Jan 1 2000 f",
                 accepted("f").file().sized(2048).at(3, 946684800)},
        LineCase{"FourDaysAheadStaysInYear",
                 "drwxr-xr-x   2 owner  group      512 Dec 10 09:30 src",
                 accepted("src").dir().sized(512).at(2, 1796895000)},
        LineCase{"346DaysBackKeepsLastYear",
                 "-rw-r--r--   1 owner  group      512 Dec 25 23:59 old",
                 accepted("old").file().sized(512).at(2, 1766707140)},
        LineCase{"351DaysBackMovesAhead", "-rw-r--r--   1 owner  group      512 Dec 20 9:05 old",
                 accepted("old").file().sized(512).at(2, 1797757500)},
        LineCase{"LinkTargetDropped",
                 "lrwxrwxrwx   1 owner  group       11 Jan  2  2020 latest -> v2/latest",
                 accepted("latest").dir().file().sized(11).at(3, 1577923200)},
        LineCase{"LinkCutAtFirstArrow", "lrwxrwxrwx 1 o g 3 Jan 2 2020 a -> b -> c",
                 accepted("a").dir().file().sized(3).at(3, 1577923200)},
        LineCase{"ArrowInNameOfNonLinkKept", "-rw-r--r-- 1 o g 3 Jan 2 2020 a -> b",
                 accepted("a -> b").file().sized(3).at(3, 1577923200)},
        LineCase{"WordForLinkCount", "drwxrwxrwx               folder        2 May 14 17:10 Stuff",
                 accepted("Stuff").dir().sized(2).at(2, 1778778600)},
        LineCase{"BracketedRightsPadding",
                 "d [R----F--] owner            512       Jan 16 18:53    login",
                 accepted("login").dir().sized(512).at(2, 1768589580)},
        LineCase{"BracketedRightsWithoutPadding", "d [R----F--] owner 512 Jan 16 18:53 login",
                 accepted("login").dir().sized(512).at(2, 1768589580)},
        LineCase{"ThreeByteTimeField", "-rw-r--r--   1 owner  group      512 Dec 25 123 x",
                 rejected(), false},
        LineCase{"InnerDoubleSpaceKept",
                 "-rw-r--r--   1 owner  group      512 Dec 25 23:59 two  spaces",
                 accepted("two  spaces").file().sized(512).at(2, 1766707140)},
        LineCase{"EndsAfterTimeField", "-rw-r--r-- 1 o g 5 Dec 25 23:59", rejected(), false},
        LineCase{"TrailingSpaceGivesEmptyName", "-rw-r--r-- 1 o g 5 Dec 25 23:59 ",
                 accepted("").file().sized(5).at(2, 1766707140)},
        LineCase{"CarriageReturnStaysInName", "-rw-r--r-- 1 o g 5 Dec 25 2001 f\r",
                 accepted("f\r").file().sized(5).at(3, 1009238400)},
        LineCase{"UpperCaseMonth", "-rw-r--r-- 1 o g 5 DEC 25 2001 f",
                 accepted("f").file().sized(5).at(3, 1009238400)},
        LineCase{"MixedCaseMonth", "-rw-r--r-- 1 o g 5 dEc 25 2001 f",
                 accepted("f").file().sized(5).at(3, 1009238400)},
        LineCase{"DeviceSetsNeitherFlag", "crw-rw---- 1 root tty 4, 1 Dec 25 2001 tty1",
                 accepted("tty1").sized(1).at(3, 1009238400)},
        LineCase{"SizeBeyond64BitsWraps", "-rw-r--r-- 1 o g 99999999999999999999 Dec 25 2001 f",
                 accepted("f").file().sized(7766279631452241919).at(3, 1009238400)},
        // No year of the century searched lies within 350 days of such a day.
        LineCase{"GarbageDayHasNoYear", "-rw-r--r-- 1 o g 5 Jan -200001 12:00 x", rejected(),
                 false},
        LineCase{"NoMonthColumn", "-rw-r--r-- 1 o g 5 6 7 8 9 10 11", rejected(), false}),
    labelOf);

INSTANTIATE_TEST_SUITE_P(
    Vms, ListingLine,
    ::testing::Values(LineCase{"File",
                               "REPORT.TXT;3        4  7-JUN-2001 08:15 [USER] (RWED,RWED,RE,)",
                               accepted("REPORT.TXT").file().at(2, 991901700)},
                      LineCase{"DirectorySecondsDropped",
                               "ARCHIVE.DIR;1       1 12-Feb-1999 23:01:45 [USER] (RWE,RWE,,)",
                               accepted("ARCHIVE").dir().at(2, 918860460)},
                      LineCase{"LowerCaseDirIsAFile", "archive.dir;1 1 12-Feb-1999 23:01 x",
                               accepted("archive.dir").file().at(2, 918860460)},
                      LineCase{"NothingAfterMinutes", "REPORT.TXT;3        4  7-JUN-2001 08:15",
                               rejected(), false},
                      LineCase{"MonthNotAMonthName",
                               "REPORT.TXT;3        4  7-JUX-2001 08:15 [USER]", rejected(), false},
                      LineCase{"YearTakenAsGiven", "A;1 1 1-JAN-99 00:00 x",
                               accepted("A").file().at(2, -59042995200)}),
    labelOf);

INSTANTIATE_TEST_SUITE_P(
    MsDos, ListingLine,
    ::testing::Values(LineCase{"Directory", "06-30-03  11:45PM       <DIR>          data",
                               accepted("data").dir().at(2, 1057016700)},
                      LineCase{"TwelveAmIsMidnight",
                               "12-31-99  12:05AM                 1024 a b.txt",
                               accepted("a b.txt").file().sized(1024).at(2, 946598700)},
                      LineCase{"TwelvePmIsNoon", "01-02-2003  12:30PM  77 x",
                               accepted("x").file().sized(77).at(2, 1041510600)},
                      LineCase{"YearBelow50InThisCentury", "01-02-49  01:00AM  1 x",
                               accepted("x").file().sized(1).at(2, 2493162000)},
                      LineCase{"Year50InLastCentury", "01-02-50  01:00AM  1 x",
                               accepted("x").file().sized(1).at(2, -631062000)},
                      LineCase{"NoAmPm", "01-02-2003  12:30  77 x", rejected(), false},
                      LineCase{"EndsAfterSize", "01-02-2003  12:30PM  77", rejected(), false}),
    labelOf);

INSTANTIATE_TEST_SUITE_P(Unrecognised, ListingLine,
                         ::testing::Values(LineCase{"Total", "total 24", rejected()},
                                           LineCase{"NoPermissions", "Jan 5 12:00 foo", rejected()},
                                           LineCase{"Empty", "", rejected()},
                                           LineCase{"OneByte", "d", rejected()}),
                         labelOf);

// Two bytes is the shortest line looked at; only an EPLF tab makes an entry.
class TwoByteLine : public PinnedClock, public ::testing::WithParamInterface<const char*> {};

TEST_P(TwoByteLine, IsRejected) { EXPECT_EQ(parse(std::string_view(GetParam(), 2)).result, 0); }

INSTANTIATE_TEST_SUITE_P(AllLayouts, TwoByteLine,
                         ::testing::Values("+,", "d ", "-r", "l ", "1;", ";1", "1-", "9 ", "xy",
                                           "\r\n"));

TEST_F(PinnedClock, TwoByteEplfWithTabIsAnEmptyName) { EXPECT_EQ(parse("+\t"), accepted("")); }

// Columns padded to every width put field edges at every position of the
// 64-byte blocks the fields are found in.
TEST_F(PinnedClock, FieldEdgesAnywhereInLongLines) {
  for (int pad = 0; pad <= 140; ++pad) {
    const std::string owner = "o" + std::string(static_cast<std::size_t>(pad), 'x');
    const std::string gap(static_cast<std::size_t>(pad) + 1, ' ');
    const std::string line = "-rw-r--r--" + gap + "1 " + owner + gap + "group" + gap + "4096 Mar" +
                             gap + "15" + gap + "2003 notes" + gap + "txt";
    EXPECT_EQ(parse(line), accepted("notes" + gap + "txt").file().sized(4096).at(3, 1047686400))
        << "pad " << pad;
  }
}

TEST_F(PinnedClock, PaddingOfAnyWidthInVmsAndMsDosLines) {
  for (int pad = 0; pad <= 140; ++pad) {
    const std::string gap(static_cast<std::size_t>(pad) + 1, ' ');
    EXPECT_EQ(parse("06-30-03" + gap + "11:45PM" + gap + "1024" + gap + "a" + gap + "b"),
              accepted("a" + gap + "b").file().sized(1024).at(2, 1057016700))
        << "pad " << pad;
    EXPECT_EQ(parse("06-30-03" + gap + "11:45PM" + gap + "<DIR>" + gap + "d"),
              accepted("d").dir().at(2, 1057016700))
        << "pad " << pad;
    EXPECT_EQ(parse("A.TXT;1" + gap + "4" + gap + "7-JUN-2001" + gap + "08:15" + gap + "x"),
              accepted("A.TXT").file().at(2, 991901700))
        << "pad " << pad;
  }
}

TEST(SpaceMask, MarksExactlyTheSpacesOfAnyStretch) {
  std::string bytes;
  for (int k = 0; k < 150; ++k)
    bytes += (k * 7 + k / 5) % 3 == 0 ? ' ' : static_cast<char>('a' + k % 26);
  for (int length = 1; length <= static_cast<int>(bytes.size()); ++length) {
    const ExactLine line(std::string_view(bytes).substr(0, static_cast<std::size_t>(length)));
    for (int offset = 0; offset < length; ++offset) {
      const int count = std::min(64, length - offset);
      std::uint64_t expected = 0;
      for (int k = 0; k < count; ++k) {
        if (bytes[static_cast<std::size_t>(offset + k)] == ' ') expected |= 1ull << k;
      }
      ASSERT_EQ(detail::spaceMask(line.data(), offset, count), expected)
          << "length " << length << " offset " << offset;
    }
  }
}

// ---- Date arithmetic.

TEST(Totai, KnownDates) {
  EXPECT_EQ(totai(1970, 0, 1), 0);
  EXPECT_EQ(totai(2000, 1, 29), 951782400);
  EXPECT_EQ(totai(1999, 1, 29), 825552000);  // a common year's 29 February: 1996-02-29
}

TEST(Totai, MonthsAndDaysRollOver) {
  EXPECT_EQ(totai(2003, 12, 1), totai(2004, 0, 1));
  EXPECT_EQ(totai(2000, 0, 0), totai(1999, 11, 31));
  EXPECT_EQ(totai(2002, -1, 1), totai(2001, 11, 1));
  EXPECT_EQ(totai(2001, 0, 32), totai(2001, 1, 1));
}

// Every day of four centuries, leap rules included, against the standard library.
TEST(Totai, MatchesTheCalendarFrom1600To2400) {
  using namespace std::chrono;
  for (sys_days d = sys_days{year{1600} / January / 1}; d < sys_days{year{2400} / January / 1};
       d += days{1}) {
    const year_month_day ymd{d};
    const std::int64_t expected = d.time_since_epoch().count() * kDay;
    ASSERT_EQ(totai(static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()) - 1,
                    static_cast<unsigned>(ymd.day())),
              expected)
        << static_cast<int>(ymd.year()) << "-" << static_cast<unsigned>(ymd.month()) << "-"
        << static_cast<unsigned>(ymd.day());
  }
}

TEST(UtcYear, MatchesTheCalendarAroundYearEnds) {
  using namespace std::chrono;
  for (int y : {1601, 1899, 1900, 1969, 1970, 1999, 2000, 2024, 2026, 2100, 2399}) {
    const std::int64_t newYear = sys_days{year{y} / January / 1}.time_since_epoch().count() * kDay;
    EXPECT_EQ(detail::utcYear(newYear), y);
    EXPECT_EQ(detail::utcYear(newYear - 1), y - 1);
    const std::int64_t march = sys_days{year{y} / March / 1}.time_since_epoch().count() * kDay;
    EXPECT_EQ(detail::utcYear(march - 1), y);  // end of February stays in the year
    EXPECT_EQ(detail::utcYear(march), y);
  }
}

TEST(Getmonth, AnyLetterCase) {
  const char* names[] = {"jan", "feb", "mar", "apr", "may", "jun",
                         "jul", "aug", "sep", "oct", "nov", "dec"};
  for (int m = 0; m < 12; ++m) {
    std::string lower = names[m];
    std::string upper = lower;
    for (char& c : upper) c = static_cast<char>(c - 32);
    std::string mixed = lower;
    mixed[1] = upper[1];
    for (const std::string& text : {lower, upper, mixed}) {
      EXPECT_EQ(detail::getmonth(text.data(), 3), m) << text;
    }
  }
}

// Texts one byte away from a month name (each of the 256 values at each
// position, the other bytes in both cases) and a spread of other texts,
// against the rule: each byte equals the name's lower-case letter or that
// letter minus 32.
TEST(Getmonth, AgreesWithTheRule) {
  const char* names[] = {"jan", "feb", "mar", "apr", "may", "jun",
                         "jul", "aug", "sep", "oct", "nov", "dec"};
  const auto rule = [&](const char* text) {
    for (int m = 0; m < 12; ++m) {
      bool match = true;
      for (int k = 0; k < 3; ++k) {
        match = match && (text[k] == names[m][k] || text[k] == static_cast<char>(names[m][k] - 32));
      }
      if (match) return m;
    }
    return -1;
  };
  const auto check = [&](const char* text) {
    ASSERT_EQ(detail::getmonth(text, 3), rule(text))
        << static_cast<int>(text[0]) << " " << static_cast<int>(text[1]) << " "
        << static_cast<int>(text[2]);
  };
  for (const char* name : names) {
    for (int k = 0; k < 3; ++k) {
      for (int upper = 0; upper < 2; ++upper) {
        for (int byte = 0; byte < 256; ++byte) {
          char text[3];
          for (int i = 0; i < 3; ++i) text[i] = static_cast<char>(name[i] - (upper ? 32 : 0));
          text[k] = static_cast<char>(byte);
          check(text);
        }
      }
    }
  }
  for (std::uint32_t code = 0; code < (1u << 24); code += 97) {
    const char text[3] = {static_cast<char>(code >> 16), static_cast<char>(code >> 8),
                          static_cast<char>(code)};
    check(text);
  }
}

TEST(Getmonth, RejectsOtherTexts) {
  for (std::string_view text : {"ja", "janu", "", "jaN ", "j@n", "JUX", "1an"}) {
    EXPECT_EQ(detail::getmonth(text.data(), static_cast<int>(text.size())), -1) << text;
  }
}

// ---- Numbers.

// Fields are read eight digits at a time where they can; every field of
// every line, digits or not, must read as the byte-by-byte rule reads it.
TEST(FieldNumber, AgreesWithTheRuleOnEveryField) {
  std::vector<std::string> lines;
  for (const auto& file : std::filesystem::directory_iterator(ZEMBREL_FTPPARSE_FUZZ_CORPUS)) {
    std::ifstream in(file.path(), std::ios::binary);
    lines.emplace_back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  ASSERT_FALSE(lines.empty());
  std::mt19937 random(33);
  for (int round = 0; round < 200; ++round) {
    std::string line(random() % 40, '0');
    for (auto& c : line) {
      const auto pick = random() % 4;
      c = static_cast<char>(pick < 3 ? '0' + random() % 10 : random() % 256);
    }
    lines.push_back(line);
  }
  lines.push_back("-rw-r--r-- 1 o g 18446744073709551615999 Jan 1 2000 max");
  for (const auto& line : lines) {
    const char* base = line.data();
    const std::size_t size = std::min<std::size_t>(line.size(), 120);
    for (std::size_t begin = 0; begin <= size; ++begin) {
      for (std::size_t end = begin; end <= size; ++end) {
        ASSERT_EQ(detail::fieldNumberOf(base, base + begin, base + end),
                  detail::digitRule(base + begin, base + end))
            << testing::PrintToString(line.substr(begin, end - begin));
      }
    }
  }
}

// ---- Year guess.

std::int64_t guessedDate(std::int64_t now, int month, int day) {
  setFtpParseClock(now);
  const std::optional<std::int64_t> t = detail::guesstai(month, day);
  setFtpParseClock(std::nullopt);
  EXPECT_TRUE(t.has_value());
  return t.value_or(0);
}

std::int64_t civil(int y, unsigned m, unsigned d) {
  using namespace std::chrono;
  return sys_days{year{y} / month{m} / day{d}}.time_since_epoch().count() * kDay;
}

TEST(Guesstai, DateMovesAheadFrom350DaysBack) {
  const std::int64_t midnight = civil(2026, 12, 6);
  EXPECT_EQ(guessedDate(midnight, 11, 22), civil(2025, 12, 22));  // 349 days back
  EXPECT_EQ(guessedDate(midnight, 11, 21), civil(2026, 12, 21));  // exactly 350 days back
  EXPECT_EQ(guessedDate(midnight, 11, 20), civil(2026, 12, 20));  // 351 days back
}

TEST(Guesstai, AroundNewYear) {
  // Just after New Year, last December is recent.
  EXPECT_EQ(guessedDate(civil(2027, 1, 2) + 3600, 11, 31), civil(2026, 12, 31));
  EXPECT_EQ(guessedDate(civil(2027, 1, 2) + 3600, 0, 1), civil(2027, 1, 1));
  // Just before it, a January date is last January's only while within 350 days.
  EXPECT_EQ(guessedDate(civil(2026, 12, 31) + 3600, 0, 1), civil(2027, 1, 1));
  EXPECT_EQ(guessedDate(civil(2026, 12, 31) + 3600, 11, 31), civil(2026, 12, 31));
  EXPECT_EQ(guessedDate(civil(2026, 1, 10), 11, 31), civil(2025, 12, 31));
}

TEST(Guesstai, LeapDayFindsALeapYear) {
  EXPECT_EQ(guessedDate(civil(2026, 12, 6), 1, 29), civil(2028, 2, 29));
}

// The year guess, kept per current second, against the rule itself, for
// every month and day and clocks that change between calls.
TEST(Guesstai, EveryMonthAndDayAsTheRuleWhileTheClockMoves) {
  auto byRule = [](std::int64_t now, std::int64_t month, std::int64_t day) {
    const std::int64_t year = detail::utcYear(now);
    for (std::int64_t candidate = year - 1; candidate <= year + 99; ++candidate) {
      const std::int64_t t = detail::calendarSecondsByRule(candidate, month, day);
      if (now - t < 350 * kDay) return t;
    }
    return std::int64_t{-1};
  };
  for (std::int64_t now : {civil(2026, 12, 6), civil(2026, 12, 6) + 1, civil(2027, 1, 1) - 1,
                           civil(2028, 2, 29) + 7, civil(2026, 12, 6)}) {
    setFtpParseClock(now);
    for (int pass = 0; pass < 2; ++pass) {
      for (int month = 0; month < 12; ++month) {
        for (int day = 0; day < 32; ++day) {
          ASSERT_EQ(detail::guesstai(month, day), std::optional(byRule(now, month, day)))
              << now << " " << month << " " << day << " pass " << pass;
        }
      }
    }
  }
  setFtpParseClock(std::nullopt);
}

TEST(Guesstai, GarbageDayHasNoYear) {
  setFtpParseClock(kNow);
  EXPECT_FALSE(detail::guesstai(0, -200001).has_value());
  setFtpParseClock(std::nullopt);
}

// Pinning the clock again must not leave the year of the previous time behind.
TEST(Guesstai, RepinnedClockDerivesItsYearAgain) {
  EXPECT_EQ(guessedDate(civil(2031, 1, 5), 0, 2), civil(2031, 1, 2));
  EXPECT_EQ(guessedDate(civil(2020, 1, 5), 0, 2), civil(2020, 1, 2));
}

TEST(Guesstai, SystemClockByDefault) {
  setFtpParseClock(std::nullopt);
  using namespace std::chrono;
  // The parser reads the clock itself: the day is read before and after it,
  // and a run that UTC midnight split is done again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const auto today = floor<days>(system_clock::now());
    const year_month_day ymd{today};
    const std::optional<std::int64_t> t =
        detail::guesstai(static_cast<unsigned>(ymd.month()) - 1, static_cast<unsigned>(ymd.day()));
    if (floor<days>(system_clock::now()) != today) continue;
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(*t, today.time_since_epoch().count() * kDay);
    return;
  }
  FAIL() << "the day changed during every attempt";
}

// Threads that parse at once, while the cached year is still to be derived,
// all see the result a single caller sees.
TEST(FtpParseThreads, ConcurrentFirstUseAgrees) {
  setFtpParseClock(kNow);
  const std::string line = "-rw-r--r--   1 owner  group      512 Dec 25 23:59 old";
  std::vector<std::int64_t> modtimes(4, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < modtimes.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < 200; ++k) {
        ftplistresult r{};
        if (ftpparse(&r, line.data(), static_cast<int>(line.size())) == 1) {
          modtimes[t] = r.modtime - ftpParseBase();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  setFtpParseClock(std::nullopt);
  for (std::int64_t modtime : modtimes) EXPECT_EQ(modtime, 1766707140);
}

}  // namespace
}  // namespace zembrel
