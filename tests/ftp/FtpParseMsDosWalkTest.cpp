// MS-DOS lines against a plain byte-by-byte walk of their columns. The parser
// reads the usual "MM-DD-YY" and "HH:MM" columns in place and finds padding
// in masks; this walk does neither, so any line on which the two disagree is
// a line on which the shortcuts do not stop where the walk would.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "zembrel/FtpParse.hpp"
#include "zembrel/ftp/FtpParseInternal.hpp"

namespace zembrel {
namespace {

// The fields that an accepted MS-DOS line sets; name as an offset.
struct DosRecord {
  int result = 0;
  int nameOffset = 0;
  int namelength = 0;
  int flagmaybedir = 0;
  int flagmaybefile = 0;
  int sizekind = 0;
  std::int64_t size = 0;
  int timekind = 0;
  std::int64_t seconds = 0;  // modtime less base
  bool operator==(const DosRecord&) const = default;
};

void PrintTo(const DosRecord& r, std::ostream* os) {
  *os << "{result " << r.result << ", name at " << r.nameOffset << " (" << r.namelength
      << " bytes), dir " << r.flagmaybedir << ", file " << r.flagmaybefile << ", size "
      << r.sizekind << "/" << r.size << ", time " << r.timekind << "/" << r.seconds << "}";
}

// One position over the line; every move fails at the end of the line.
struct Walk {
  const char* line;
  int length;
  int pos = 0;
  bool find(char c) {
    while (pos < length && line[pos] != c) ++pos;
    return pos < length;
  }
  bool skip(char c) {
    while (pos < length && line[pos] == c) ++pos;
    return pos < length;
  }
  bool findEither(char a, char b) {
    while (pos < length && line[pos] != a && line[pos] != b) ++pos;
    return pos < length;
  }
  bool step() { return ++pos < length; }
  std::int64_t since(int mark) const { return detail::digitRule(line + mark, line + pos); }
};

DosRecord walkMsDos(const char* line, int length) {
  using detail::wadd;
  Walk w{line, length};
  DosRecord r;
  if (!w.find('-')) return {};
  const std::int64_t month = w.since(0);
  int mark = 0;
  if (!w.skip('-') || ((mark = w.pos), !w.find('-'))) return {};
  const std::int64_t day = w.since(mark);
  if (!w.skip('-') || ((mark = w.pos), !w.find(' '))) return {};
  std::int64_t year = w.since(mark);
  if (year < 50) year = wadd(year, 2000);
  if (year < 1000) year = wadd(year, 1900);
  if (!w.skip(' ') || ((mark = w.pos), !w.find(':'))) return {};
  std::int64_t hour = w.since(mark);
  if (!w.skip(':') || ((mark = w.pos), !w.findEither('A', 'P'))) return {};
  const std::int64_t minute = w.since(mark);
  if (hour == 12) hour = 0;
  if (line[w.pos] == 'A' && !w.step()) return {};
  if (line[w.pos] == 'P') {
    hour = wadd(hour, 12);
    if (!w.step()) return {};
  }
  if (line[w.pos] == 'M' && !w.step()) return {};
  if (!w.skip(' ')) return {};
  if (line[w.pos] == '<') {
    r.flagmaybedir = 1;
    if (!w.find(' ')) return {};
  } else {
    mark = w.pos;
    if (!w.find(' ')) return {};
    r.size = w.since(mark);
    r.sizekind = 1;
    r.flagmaybefile = 1;
  }
  if (!w.skip(' ')) return {};
  r.result = 1;
  r.nameOffset = w.pos;
  r.namelength = length - w.pos;
  r.timekind = 2;
  r.seconds = wadd(totai(year, detail::wsub(month, 1), day), detail::timeOfDay(hour, minute));
  return r;
}

DosRecord parsed(const std::string& bytes) {
  const auto size = bytes.size();
  const auto line = std::make_unique<char[]>(size);  // exactly the line: ASan sees overreads
  std::memcpy(line.get(), bytes.data(), size);
  ftplistresult out{};
  DosRecord r;
  r.result = ftpparse(&out, line.get(), static_cast<int>(size));
  if (r.result == 0) {
    return {};  // a rejected record's fields are no result
  }
  r.nameOffset = static_cast<int>(out.name - line.get());
  r.namelength = out.namelength;
  r.flagmaybedir = out.flagmaybedir;
  r.flagmaybefile = out.flagmaybefile;
  r.sizekind = out.sizekind;
  r.size = out.size;
  r.timekind = out.timekind;
  r.seconds = out.modtime - ftpParseBase();
  return r;
}

bool isMsDosLine(const std::string& line) {
  return line.size() >= 2 && line[0] >= '0' && line[0] <= '9' &&
         line.find(';') == std::string::npos;
}

void expectSameAsWalk(const std::string& line) {
  if (isMsDosLine(line)) {
    EXPECT_EQ(parsed(line), walkMsDos(line.data(), static_cast<int>(line.size())))
        << testing::PrintToString(line);
  }
}

TEST(MsDosWalk, AgreesOnTheFuzzCorpus) {
  int lines = 0;
  for (const auto& file : std::filesystem::directory_iterator(ZEMBREL_FTPPARSE_FUZZ_CORPUS)) {
    std::ifstream in(file.path(), std::ios::binary);
    const std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    lines += isMsDosLine(line) ? 1 : 0;
    expectSameAsWalk(line);
  }
  EXPECT_GT(lines, 0);
}

// Every byte of the columns read in place replaced by each byte that could
// move a stop of the walk, and every prefix of the lines: shapes one byte
// away from the usual ones.
TEST(MsDosWalk, AgreesOneByteAwayFromTheUsualColumns) {
  const std::vector<std::string> seeds = {
      "06-30-03  11:45PM       <DIR>          data",
      "12-31-99  12:05AM                 1024 a b.txt",
      "01-02-2003  12:30PM  77 x",
      "1-2-3 4:05AM 6 n",
  };
  const std::string stops = "0159-: APM<x\t\xff";
  for (const std::string& seed : seeds) {
    for (std::size_t n = 0; n <= seed.size(); ++n) {
      expectSameAsWalk(seed.substr(0, n));
    }
    for (std::size_t at = 0; at < 24 && at < seed.size(); ++at) {
      for (const char c : stops) {
        std::string line = seed;
        line[at] = c;
        expectSameAsWalk(line);
        line.insert(at, 1, c);
        expectSameAsWalk(line);
      }
    }
  }
}

}  // namespace
}  // namespace zembrel
