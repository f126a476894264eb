// The FTP LIST line parser: EPLF, UNIX long listings (with the word-for-link-
// count and bracketed-rights variants), VMS and MS-DOS lines. It allocates and
// copies nothing; the name and identifier point into the caller's bytes.
//
// Servers send anything, so every number read from digits, and the date
// arithmetic built on it (FtpDate.cpp), is done on 64-bit two's complement
// values that wrap (unsigned arithmetic, then converted back): a garbage field
// yields one deterministic value, never undefined behaviour.

#include "zembrel/FtpParse.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "zembrel/ftp/FtpParseInternal.hpp"

namespace zembrel {
namespace detail {
namespace {

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

// All bits set when `condition` holds, else none: a select that the
// compiler cannot turn back into a branch, for conditions that vary from
// line to line.
inline std::int64_t allIf(bool condition) { return -static_cast<std::int64_t>(condition); }

// Whether c is "A" or "P", without a branch: bit (c - 'A') of a word that
// holds bits 0 ("A") and 15 ("P").
inline bool isAOrP(char c) {
  const unsigned offset = static_cast<unsigned char>(c) - 'A';
  return (offset < 16) & ((0x8001u >> (offset & 15)) & 1);
}

// number(field, field + n) for a field followed by at least one more byte of
// the line: fields of one or two bytes (days, hours, minutes) are read
// without a loop, whose exit would depend on the width.
inline std::int64_t shortNumber(const char* field, int n) {
  const auto first = static_cast<std::int64_t>(static_cast<signed char>(field[0])) - 48;
  const auto second = static_cast<std::int64_t>(static_cast<signed char>(field[1])) - 48;
  const std::int64_t two = first * 10 + second;
  if (n <= 2) {
    return (allIf(n == 2) & two) | (allIf(n == 1) & first);
  }
  return number(field, field + n);
}

// The same for the 8 bytes ending at `end` when they are all ASCII digits,
// eight at a time (the number of digits is the same whatever bytes come
// before, so the caller's field may be shorter, its earlier bytes counted as
// "0"); nullopt when a byte is no digit.
inline std::optional<std::uint64_t> eightDigits(const char* end, int fieldLength) {
  if constexpr (std::endian::native != std::endian::little) {
    return std::nullopt;
  }
  std::uint64_t chunk = 0;
  std::memcpy(&chunk, end - 8, 8);  // the first byte lands in the low bits
  // Bytes before the field count as "0" (none when it has eight bytes).
  const std::uint64_t keep = ~std::uint64_t{0} << (8 * (8 - fieldLength));
  chunk = (chunk & keep) | (0x3030303030303030ull & ~keep);
  // Every byte's high nibble is 3, and it stays 3 after adding 6: 0x30 to 0x39.
  if (((chunk & 0xF0F0F0F0F0F0F0F0ull) |
       (((chunk + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) >> 4)) != 0x3333333333333333ull) {
    return std::nullopt;
  }
  chunk = ((chunk & 0x0F0F0F0F0F0F0F0Full) * 2561) >> 8;               // pairs of digits
  chunk = ((chunk & 0x00FF00FF00FF00FFull) * 6553601) >> 16;           // groups of four
  return ((chunk & 0x0000FFFF0000FFFFull) * 42949672960001ull) >> 32;  // all eight
}

#if defined(__SSE2__)
// The same for the 16 bytes ending at `end`, as one vector: digits to pairs,
// pairs to groups of four, groups to two halves of eight, by multiply-adds.
// The bytes before a shorter field count as "0"; nullopt when a byte of the
// field is no digit.
inline std::optional<std::uint64_t> sixteenDigits(const char* end, int fieldLength) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16));
  const __m128i lane = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m128i inField = _mm_cmpgt_epi8(lane, _mm_set1_epi8(static_cast<char>(15 - fieldLength)));
  const __m128i digits = _mm_and_si128(_mm_sub_epi8(bytes, _mm_set1_epi8('0')), inField);
  // A digit is 0 to 9 as an unsigned byte: subtracting 9 with saturation leaves 0.
  const __m128i overNine = _mm_subs_epu8(digits, _mm_set1_epi8(9));
  if (_mm_movemask_epi8(_mm_cmpeq_epi8(overNine, zero)) != 0xFFFF) {
    return std::nullopt;
  }
  const __m128i tensAndOnes = _mm_setr_epi16(10, 1, 10, 1, 10, 1, 10, 1);
  const __m128i pairs =
      _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(digits, zero), tensAndOnes),
                      _mm_madd_epi16(_mm_unpackhi_epi8(digits, zero), tensAndOnes));
  const __m128i fours = _mm_madd_epi16(pairs, _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1));
  const __m128i eights = _mm_madd_epi16(_mm_packs_epi32(fours, fours),
                                        _mm_setr_epi16(10000, 1, 10000, 1, 10000, 1, 10000, 1));
  const auto high = static_cast<std::uint64_t>(_mm_cvtsi128_si32(eights));
  const auto low = static_cast<std::uint64_t>(_mm_cvtsi128_si32(_mm_srli_si128(eights, 4)));
  return high * 100000000 + low;
}
#endif

// number(begin, end) for a field of `line`, eight digits at a time where it
// can: the rule is linear, so the bytes before the last eight count as their
// own number times 10^8, whatever they are. A size or a year then costs a few
// operations instead of a multiplication and a branch per digit; fields of
// one to three bytes (days, hours, minutes) are cheaper byte by byte.
[[gnu::always_inline]] inline std::int64_t fieldNumber(const char* line, const char* begin,
                                                       const char* end) {
  const auto length = end - begin;
#if defined(__SSE2__)
  if (length >= 4 && length <= 16 && end - line >= 16) {  // sizes and years, mostly
    const std::optional<std::uint64_t> value = sixteenDigits(end, static_cast<int>(length));
    if (value) {
      return static_cast<std::int64_t>(*value);
    }
  }
#endif
  if (end - line < 8 || length < 4) {
    return number(begin, end);
  }
  const std::optional<std::uint64_t> last =
      eightDigits(end, length < 8 ? static_cast<int>(length) : 8);
  if (!last) {
    return number(begin, end);
  }
  if (length <= 8) {
    return static_cast<std::int64_t>(*last);
  }
  // Sizes of 9 to 16 digits, eight more at once (on builds without SSE2).
  if (length <= 16 && end - 8 - line >= 8) {
    const std::optional<std::uint64_t> first = eightDigits(end - 8, static_cast<int>(length - 8));
    if (first) {
      return static_cast<std::int64_t>(*first * 100000000 + *last);
    }
  }
  return wadd(wmul(number(begin, end - 8), 100000000), static_cast<std::int64_t>(*last));
}

constexpr char months[12][3] = {{'j', 'a', 'n'}, {'f', 'e', 'b'}, {'m', 'a', 'r'}, {'a', 'p', 'r'},
                                {'m', 'a', 'y'}, {'j', 'u', 'n'}, {'j', 'u', 'l'}, {'a', 'u', 'g'},
                                {'s', 'e', 'p'}, {'o', 'c', 't'}, {'n', 'o', 'v'}, {'d', 'e', 'c'}};
// Month names packed three bytes to a word and placed by a perfect hash, so
// that a column is looked up with one comparison: a search through the
// twelve names mispredicts its exit on every line.
constexpr std::uint32_t kMonthHash = 0x2c4a3699;
constexpr std::uint32_t monthSlot(std::uint32_t key) { return (key * kMonthHash) >> 28; }
struct MonthSlot {
  std::uint32_t key = 0;  // 0: no month (no packed name is 0)
  int month = -1;
};
constexpr std::array<MonthSlot, 16> monthSlots = [] {
  std::array<MonthSlot, 16> slots{};
  for (int m = 0; m < 12; ++m) {
    const std::uint32_t key = static_cast<std::uint32_t>(months[m][0]) << 16 |
                              static_cast<std::uint32_t>(months[m][1]) << 8 |
                              static_cast<std::uint32_t>(months[m][2]);
    slots[monthSlot(key)] = MonthSlot{key, m};
  }
  return slots;
}();
static_assert(
    [] {
      int filled = 0;
      for (const MonthSlot& slot : monthSlots) filled += slot.month >= 0 ? 1 : 0;
      return filled == 12;
    }(),
    "the month hash must give each month its own slot");

// Bits k set when line[offset + k] is a space, and when it is a ";", for the
// `count` (1..64) bytes from `offset`; reads nothing outside them but the
// bytes before `offset`. Columns and their padding are found from these masks
// a word at a time: a byte-by-byte walk mispredicts a branch at every column
// edge, which is most of the cost of a listing line. The ";" that marks a VMS
// line is found in the same loads.
struct ByteMasks {
  std::uint64_t spaces = 0;
  std::uint64_t semicolons = 0;
};
inline ByteMasks masksIn(const char* line, int offset, int count) {
  ByteMasks masks;
#if defined(__SSE2__)
  if (offset + count >= 16) {
    // Four loads of 16 bytes, the later ones moved back to end inside the
    // stretch (or at its end when it is shorter than 16 bytes, reading bytes
    // before it, whose bits fall away): the same work for any count, so no
    // branch depends on the length of the line.
    const __m128i spaces = _mm_set1_epi8(' ');
    const __m128i semicolons = _mm_set1_epi8(';');
    const auto bitsOf = [](__m128i equal) {
      return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(equal)));
    };
    if (count == 64) {  // a whole block, as in most long lines: no moved loads
      for (int k = 0; k < 64; k += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + offset + k));
        masks.spaces |= bitsOf(_mm_cmpeq_epi8(bytes, spaces)) << k;
        masks.semicolons |= bitsOf(_mm_cmpeq_epi8(bytes, semicolons)) << k;
      }
      return masks;
    }
    const int last = count - 16;  // may be negative
    const auto place = [](std::uint64_t bits, int start) {
      return start >= 0 ? bits << start : bits >> -start;
    };
    for (int k = 0; k < 64; k += 16) {
      const int start = k < last ? k : last;
      const __m128i bytes =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + offset + start));
      masks.spaces |= place(bitsOf(_mm_cmpeq_epi8(bytes, spaces)), start);
      masks.semicolons |= place(bitsOf(_mm_cmpeq_epi8(bytes, semicolons)), start);
    }
    return masks;
  }
#endif
  for (int k = 0; k < count; ++k) {
    masks.spaces |= static_cast<std::uint64_t>(line[offset + k] == ' ') << k;
    masks.semicolons |= static_cast<std::uint64_t>(line[offset + k] == ';') << k;
  }
  return masks;
}

inline std::uint64_t spacesIn(const char* line, int offset, int count) {
  return masksIn(line, offset, count).spaces;
}

// Whether text[0] and text[1] are ASCII digits, and their number.
inline bool isDigitPair(const char* text) {
  return static_cast<unsigned char>(text[0] - '0') < 10 &&
         static_cast<unsigned char>(text[1] - '0') < 10;
}
inline std::int64_t digitPair(const char* text) { return (text[0] - '0') * 10 + (text[1] - '0'); }

// getmonth, inlined into the layouts.
inline int monthIndex(const char* text, int length) {
  if (length != 3) {
    return -1;
  }
  // A byte matches a lower-case letter when it is that letter or the letter
  // minus 32; setting bit 0x20 maps exactly those two bytes onto the letter.
  const auto folded = [text](int k) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(text[k]) | 0x20);
  };
  const std::uint32_t key = folded(0) << 16 | folded(1) << 8 | folded(2);
  const MonthSlot& slot = monthSlots[monthSlot(key)];
  return slot.key == key ? slot.month : -1;
}

// A position walking one line, for the VMS and MS-DOS layouts. Every move
// reports false once it reaches the end of the line: the line is rejected.
class Cursor {
 public:
  Cursor(const char* line, int length, int pos) : line_(line), length_(length), pos_(pos) {
    if (pos < length) {
      load(pos);
    }
  }
  // At the line's start, with the spaces of its first min(length, 64) bytes
  // already found.
  Cursor(const char* line, int length, std::uint64_t firstSpaces)
      : line_(line), length_(length), pos_(0) {
    setWindow(0, firstSpaces);
  }

  // Advances to the next byte equal to c. Inlined so that the test of c
  // folds away at each call.
  [[gnu::always_inline]] bool find(char c) {
    if (c == ' ') {
      return advanceOverSpaces(false);
    }
    while (pos_ < length_ && line_[pos_] != c) {  // a few bytes: a loop beats memchr
      ++pos_;
    }
    return pos_ < length_;
  }
  // Advances over bytes equal to c.
  [[gnu::always_inline]] bool skip(char c) {
    if (c == ' ') {
      return advanceOverSpaces(true);
    }
    while (pos_ < length_ && line_[pos_] == c) {
      ++pos_;
    }
    return pos_ < length_;
  }
  // Steps over the current byte when `over` is true; false when the line
  // ends there.
  bool stepIf(bool over) {
    pos_ += over ? 1 : 0;
    return pos_ < length_;
  }
  // Reads the number from here up to the next c, and stops at that c.
  [[gnu::always_inline]] bool numberUpTo(char c, std::int64_t& value) {
    const int mark = pos_;
    if (!find(c)) {
      return false;
    }
    value = numberSince(mark);
    return true;
  }
  // Advances to the first byte that is one of a or b.
  bool findEither(char a, char b) {
    while (pos_ < length_ && line_[pos_] != a && line_[pos_] != b) {
      ++pos_;
    }
    return pos_ < length_;
  }
  int pos() const { return pos_; }
  // Moves to a position known to lie inside the line.
  void moveTo(int pos) { pos_ = pos; }
  char byte() const { return line_[pos_]; }
  std::int64_t numberSince(int mark) const {
    return fieldNumber(line_, line_ + mark, line_ + pos_);
  }

 private:
  // Columns are padded with runs of spaces of any width; finding their edges
  // in a mask of the spaces costs the same whatever the width. The window of
  // up to 64 bytes is loaded once and most moves end inside it.
  [[gnu::always_inline]] bool advanceOverSpaces(bool overSpaces) {
    const int shift = pos_ - windowStart_;
    if (static_cast<unsigned>(shift) < static_cast<unsigned>(windowCount_)) {
      const std::uint64_t wanted = (overSpaces ? nonSpaces_ : spaces_) >> shift;
      if (wanted != 0) {
        pos_ += std::countr_zero(wanted);
        return true;
      }
    }
    return advanceOverSpacesPastWindow(overSpaces);
  }

  // The same from whatever window holds pos_, moving the window on.
  [[gnu::noinline]] bool advanceOverSpacesPastWindow(bool overSpaces) {
    while (pos_ < length_) {
      if (pos_ < windowStart_ || pos_ >= windowStart_ + windowCount_) {
        load(pos_);
      }
      const std::uint64_t wanted = (overSpaces ? nonSpaces_ : spaces_) >> (pos_ - windowStart_);
      if (wanted != 0) {
        pos_ += std::countr_zero(wanted);
        return true;
      }
      pos_ = windowStart_ + windowCount_;
    }
    return false;
  }

  void load(int start) { setWindow(start, spacesIn(line_, start, windowLength(start))); }
  int windowLength(int start) const { return length_ - start < 64 ? length_ - start : 64; }
  void setWindow(int start, std::uint64_t spaces) {
    windowStart_ = start;
    windowCount_ = windowLength(start);
    spaces_ = spaces;
    const std::uint64_t valid = windowCount_ == 64 ? ~0ull : (1ull << windowCount_) - 1;
    nonSpaces_ = ~spaces_ & valid;
  }

  const char* line_;
  int length_;
  int pos_;
  // Spaces, and other bytes, of line_[windowStart_ .. windowStart_ + windowCount_ - 1].
  int windowStart_ = 0;
  int windowCount_ = 0;
  std::uint64_t spaces_ = 0;
  std::uint64_t nonSpaces_ = 0;
};

// "+" facts "," ... tab name.
[[gnu::hot, gnu::noinline]] int parseEplf(ftplistresult* r, const char* line, int length) {
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
          r->size = fieldNumber(line, line + i + 1, line + j);
          break;
        case 'm':
          initbase();
          r->timekind = 1;
          r->modtime = wadd(base, fieldNumber(line, line + i + 1, line + j));
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

// The columns of a UNIX long listing: runs of non-spaces, each ended by the
// space after it, found a 64-byte block at a time from a mask of the spaces.
// Starts and ends alternate, so taking the lowest start, then the lowest end
// after it, pairs them up, across blocks too.
class UnixFields {
 public:
  UnixFields(const char* line, int length) : line_(line), length_(length) { load(0); }

  // The next field [begin, end), ended by a space at `end`; false when the
  // line ends first.
  [[gnu::always_inline]] bool next(int& begin, int& end) {
    while (starts_ == 0) {
      if (!load(offset_ + 64)) {
        return false;
      }
    }
    begin = offset_ + std::countr_zero(starts_);
    starts_ &= starts_ - 1;
    while (ends_ == 0) {  // the field goes on in the next block
      if (!load(offset_ + 64)) {
        return false;
      }
    }
    end = offset_ + std::countr_zero(ends_);
    ends_ &= ends_ - 1;
    return true;
  }

 private:
  [[gnu::always_inline]] bool load(int offset) {
    if (offset >= length_) {
      return false;
    }
    const int count = length_ - offset < 64 ? length_ - offset : 64;
    const std::uint64_t valid = ~0ull >> (64 - count);
    const std::uint64_t space = spacesIn(line_, offset, count);
    const std::uint64_t afterSpace = (space << 1) | before_;
    starts_ = ~space & valid & afterSpace;
    ends_ = space & ~afterSpace;
    before_ = space >> (count - 1) & 1;
    offset_ = offset;
    return true;
  }

  const char* line_;
  int length_;
  int offset_ = 0;
  std::uint64_t before_ = 1;  // whether the byte before the block is a space (or the line start)
  std::uint64_t starts_ = 0;
  std::uint64_t ends_ = 0;
};

// A time whose month and day find no year among last, this and next year
// (only a day far outside its month): the guess searches on.
[[gnu::noinline]] bool unixTimeFarYear(ftplistresult* r, std::int64_t timeOfDaySeconds,
                                       const GuessClock& clock, int month, std::int64_t day) {
  const std::optional<std::int64_t> date = guessFarYears(clock, month, day);
  if (!date) {
    return false;
  }
  r->timekind = 2;
  r->modtime = wadd(wadd(base, *date), timeOfDaySeconds);
  return true;
}

// The time or year column that ends the dates of a UNIX line, the field of
// n bytes at `field` in `line`: "9:05" and "23:59" give the server's local
// time in a guessed year, four or more bytes a year. False when it is
// neither.
inline bool unixTime(ftplistresult* r, const char* line, const char* field, int n, int month,
                     std::int64_t day) {
  // One branch on both tests: the forms mix from line to line, and the
  // width alone would be a second branch to mispredict.
  const int colon = n - 3;
  const bool isTime = (static_cast<unsigned>(n - 4) <= 1) & (field[colon > 0 ? colon : 0] == ':');
  if (isTime) {
    const std::int64_t timeSeconds =
        timeOfDay(shortNumber(field, colon), shortNumber(field + colon + 1, 2));
    const GuessClock clock = guessClock();  // initialises base as well
    const NearGuess guess = guessNearYears(clock, month, day);
    if (!guess.found) {
      return unixTimeFarYear(r, timeSeconds, clock, month, day);
    }
    r->timekind = 2;
    r->modtime = wadd(wadd(base, guess.date), timeSeconds);
    return true;
  }
  if (n < 4) {
    return false;
  }
  r->timekind = 3;
  initbase();
  r->modtime = wadd(base, calendarSeconds(fieldNumber(line, field, field + n), month, day));
  return true;
}

// "-rw-r--r--  1 owner  group  size Mon DD HH:MM|YYYY name", where a word
// such as "folder" may stand for the link count and owner. The columns are
// read in order, straight through: the size is the last column before the
// month name.
[[gnu::hot, gnu::noinline]] int parseUnix(ftplistresult* r, const char* line, int length) {
  const char kind = line[0];
  r->flagmaybedir = (kind == 'd' || kind == 'l') ? 1 : 0;
  r->flagmaybefile = (kind == '-' || kind == 'l') ? 1 : 0;

  UnixFields fields(line, length);
  int i = 0;
  int j = 0;
  if (!fields.next(i, j) || !fields.next(i, j)) {  // permissions, link count
    return 0;
  }
  const bool wordForLinkCount = j - i == 6 && line[i] == 'f';
  if (!wordForLinkCount && !fields.next(i, j)) {  // owner
    return 0;
  }
  if (!fields.next(i, j)) {  // group, or the size
    return 0;
  }
  int sizeBegin = i;
  int sizeEnd = j;
  int month = -1;
  for (;;) {
    if (!fields.next(i, j)) {
      return 0;
    }
    month = monthIndex(line + i, j - i);
    if (month >= 0) {
      break;
    }
    sizeBegin = i;
    sizeEnd = j;
  }
  if (!fields.next(i, j)) {
    return 0;
  }
  const std::int64_t day = shortNumber(line + i, j - i);
  if (!fields.next(i, j) || !unixTime(r, line, line + i, j - i, month, day)) {
    return 0;
  }
  r->name = line + j + 1;
  r->namelength = length - j - 1;

  r->sizekind = 1;
  r->size = fieldNumber(line, line + sizeBegin, line + sizeEnd);

  if (kind == 'l') {
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
[[gnu::hot]] int parseVms(ftplistresult* r, const char* line, int length, int p) {
  r->name = line;
  r->namelength = p;
  if (p > 4 && std::memcmp(line + p - 4, ".DIR", 4) == 0) {
    r->namelength = p - 4;
    r->flagmaybedir = 1;
  } else {
    r->flagmaybefile = 1;
  }

  Cursor c(line, length, p);
  // Past the version number and the size column.
  if (!c.find(' ') || !c.skip(' ') || !c.find(' ') || !c.skip(' ')) {
    return 0;
  }
  std::int64_t day = 0;
  if (!c.numberUpTo('-', day) || !c.skip('-')) {
    return 0;
  }
  const int mark = c.pos();
  if (!c.find('-')) {
    return 0;
  }
  const int month = monthIndex(line + mark, c.pos() - mark);
  std::int64_t year = 0;  // as given: no century is added
  std::int64_t hour = 0;
  if (month < 0 || !c.skip('-') || !c.numberUpTo(' ', year) || !c.skip(' ') ||
      !c.numberUpTo(':', hour) || !c.skip(':')) {
    return 0;
  }
  // The minutes end at ":" (seconds follow, and are dropped) or a space.
  const int minuteMark = c.pos();
  if (!c.findEither(':', ' ')) {
    return 0;
  }
  const std::int64_t minute = c.numberSince(minuteMark);

  r->timekind = 2;
  initbase();
  r->modtime = wadd(wadd(base, calendarSeconds(year, month, day)), timeOfDay(hour, minute));
  return 1;
}

// "MM-DD-YY  HH:MMAM  <DIR>|size  name".
// firstSpaces: the spaces among the line's first min(length, 64) bytes.
[[gnu::hot]] int parseMsDos(ftplistresult* r, const char* line, int length,
                            std::uint64_t firstSpaces) {
  Cursor c(line, length, firstSpaces);
  std::int64_t month = 0;
  std::int64_t day = 0;
  std::int64_t year = 0;
  std::int64_t hour = 0;
  if (length > 8 && isDigitPair(line) && line[2] == '-' && isDigitPair(line + 3) &&
      line[5] == '-' && isDigitPair(line + 6) && line[8] == ' ') {
    // "MM-DD-YY ", as most servers write it: the walk below would stop at
    // exactly these bytes.
    month = digitPair(line);
    day = digitPair(line + 3);
    year = digitPair(line + 6);
    c.moveTo(8);
  } else if (!c.numberUpTo('-', month) || !c.skip('-') || !c.numberUpTo('-', day) || !c.skip('-') ||
             !c.numberUpTo(' ', year)) {
    return 0;
  }
  // Two-digit years: 0-49 are 2000-2049, 50-99 are 1950-1999. Selects, as
  // the steps below: these bytes vary from line to line, and a mispredicted
  // branch costs more than both sides.
  year = wadd(year, allIf(year < 50) & 2000);
  year = wadd(year, allIf(year < 1000) & 1900);
  if (!c.skip(' ')) {
    return 0;
  }
  std::int64_t minute = 0;
  const char* time = line + c.pos();
  if (length - c.pos() > 5 && isDigitPair(time) && time[2] == ':' && isDigitPair(time + 3) &&
      isAOrP(time[5])) {
    // "HH:MM" and the "A" or "P" that the walk below would stop at.
    hour = digitPair(time);
    minute = digitPair(time + 3);
    c.moveTo(c.pos() + 5);
  } else {
    if (!c.numberUpTo(':', hour) || !c.skip(':')) {
      return 0;
    }
    const int minuteMark = c.pos();
    if (!c.findEither('A', 'P')) {
      return 0;
    }
    minute = c.numberSince(minuteMark);
  }
  hour &= ~allIf(hour == 12);  // 12 AM is midnight, 12 PM noon
  // Over "A", then "P" (adding 12 hours), then "M", each where it stands;
  // a step that reaches the end of the line rejects it.
  if (!c.stepIf(c.byte() == 'A')) {
    return 0;
  }
  const bool pm = c.byte() == 'P';
  hour = wadd(hour, allIf(pm) & 12);
  if (!c.stepIf(pm) || !c.stepIf(c.byte() == 'M') || !c.skip(' ')) {
    return 0;
  }
  // "<DIR>" or the size: both columns end at the next space.
  const bool directory = c.byte() == '<';
  r->flagmaybedir = directory ? 1 : 0;
  const int sizeMark = c.pos();
  if (!c.find(' ')) {
    return 0;
  }
  const std::int64_t size = c.numberSince(sizeMark);
  r->flagmaybefile = directory ? 0 : 1;
  r->sizekind = directory ? 0 : 1;
  r->size = directory ? 0 : size;
  if (!c.skip(' ')) {
    return 0;
  }
  r->name = line + c.pos();
  r->namelength = length - c.pos();  // the rest of the line, inner spaces included

  r->timekind = 2;
  initbase();
  r->modtime =
      wadd(wadd(base, calendarSeconds(year, wsub(month, 1), day)), timeOfDay(hour, minute));
  return 1;
}

// A line that is neither UNIX nor EPLF: VMS when it holds a ";", else
// MS-DOS when it begins with a digit.
[[gnu::noinline]] int parseVmsOrMsDos(ftplistresult* r, const char* line, int length) {
  // The first 64 bytes, which hold all of most lines, are searched for the
  // ";" in the loads that find their spaces for the MS-DOS layout.
  const int head = length < 64 ? length : 64;
  const ByteMasks masks = masksIn(line, 0, head);
  int semicolon = masks.semicolons != 0 ? std::countr_zero(masks.semicolons) : -1;
  if (semicolon < 0 && length > head) {
    const void* found = std::memchr(line + head, ';', static_cast<std::size_t>(length - head));
    semicolon = found != nullptr ? static_cast<int>(static_cast<const char*>(found) - line) : -1;
  }
  if (semicolon >= 0) {
    return parseVms(r, line, length, semicolon);
  }
  if (line[0] >= '0' && line[0] <= '9') {
    return parseMsDos(r, line, length, masks.spaces);
  }
  return 0;
}

// The layout that a line's first byte selects; kOther lines are VMS when
// they hold a ";", else MS-DOS when they begin with a digit. A table, as the
// kinds of UNIX entry ("-", "d", "l") come in any order and a switch over
// them mispredicts.
enum class Layout : std::uint8_t { kOther, kEplf, kUnix };
constexpr std::array<Layout, 256> layoutByFirstByte = [] {
  std::array<Layout, 256> table{};
  table['+'] = Layout::kEplf;
  for (const char c : {'b', 'c', 'd', 'l', 'p', 's', '-'}) {
    table[static_cast<unsigned char>(c)] = Layout::kUnix;
  }
  return table;
}();

}  // namespace

std::uint64_t spaceMask(const char* line, int offset, int count) {
  return spacesIn(line, offset, count);
}

int getmonth(const char* text, int length) { return monthIndex(text, length); }

std::int64_t digitRule(const char* begin, const char* end) { return number(begin, end); }

std::int64_t fieldNumberOf(const char* line, const char* begin, const char* end) {
  return fieldNumber(line, begin, end);
}

}  // namespace detail

int ftpparse(ftplistresult* result, const char* line, int length) {
  if (result == nullptr) {
    return 0;
  }
  *result = ftplistresult{};
  if (line == nullptr || length < 2) {
    return 0;
  }
  // Each layout in a function of its own, reached by a tail call: the
  // dispatch then saves no registers for a layout it does not take.
  const detail::Layout layout = detail::layoutByFirstByte[static_cast<unsigned char>(line[0])];
  if (layout == detail::Layout::kUnix) {
    return detail::parseUnix(result, line, length);
  }
  if (layout == detail::Layout::kEplf) {
    return detail::parseEplf(result, line, length);
  }
  return detail::parseVmsOrMsDos(result, line, length);
}

}  // namespace zembrel
