// Feeds arbitrary bytes to the LIST line parser as one line held in a heap
// buffer of exactly its length, so AddressSanitizer reports any read past the
// end, and UndefinedBehaviorSanitizer any overflow in the date arithmetic.
// An input "#" + 8 bytes + line first pins the current time to those 8 bytes
// (little-endian), which drives the year guess through any clock value.

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "zembrel/FtpParse.hpp"
#include "zembrel/ftp/FtpParseClock.hpp"
#include "zembrel/ftp/FtpParseInternal.hpp"

namespace {

constexpr std::int64_t kPinnedNow = 1796533200;  // 2026-12-06 05:00:00 UTC

// True when [begin, begin + length) lies inside the line.
bool inside(const char* begin, int length, const char* line, std::size_t size) {
  return begin != nullptr && length >= 0 && begin >= line &&
         static_cast<std::size_t>(begin - line) + static_cast<std::size_t>(length) <= size;
}

void check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

// Dates from the calendar table against the calendar rule, for a date made
// of the input's first bytes: near the table's years, months and days, and
// anywhere.
void checkCalendar(const std::uint8_t* data, std::size_t size) {
  if (size < 6) {
    return;
  }
  const auto year = static_cast<std::int64_t>(1890 + (data[0] << 8 | data[1]) % 280);
  const auto month = static_cast<std::int64_t>(static_cast<signed char>(data[2])) % 16;
  const auto day = static_cast<std::int64_t>(static_cast<signed char>(data[3])) % 40;
  check(zembrel::totai(year, month, day) ==
        zembrel::detail::calendarSecondsByRule(year, month, day));
  std::int64_t far = 0;
  std::memcpy(&far, data, size >= 8 ? 8 : 6);
  check(zembrel::totai(far, month, day) == zembrel::detail::calendarSecondsByRule(far, month, day));
  check(zembrel::totai(year, month, far) ==
        zembrel::detail::calendarSecondsByRule(year, month, far));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::int64_t now = kPinnedNow;
  if (size >= 9 && data[0] == '#') {
    std::uint64_t bits = 0;
    for (int k = 8; k >= 1; --k) {
      bits = (bits << 8) | data[k];
    }
    now = static_cast<std::int64_t>(bits);
    data += 9;
    size -= 9;
  }
  if (size > static_cast<std::size_t>(INT_MAX)) {
    return 0;
  }
  zembrel::setFtpParseClock(now);
  checkCalendar(data, size);

  auto line = std::make_unique<char[]>(size);
  if (size > 0) {
    std::memcpy(line.get(), data, size);
  }
  zembrel::ftplistresult r{};
  const int result = zembrel::ftpparse(&r, line.get(), static_cast<int>(size));
  check(result == 0 || result == 1);
  if (result == 0) {
    return 0;
  }
  check(inside(r.name, r.namelength, line.get(), size));
  check(r.flagmaybedir == 0 || r.flagmaybedir == 1);
  check(r.flagmaybefile == 0 || r.flagmaybefile == 1);
  check(r.sizekind == 0 || r.sizekind == 1);
  check(r.timekind >= 0 && r.timekind <= 3);
  check(r.idkind == 0 || r.idkind == 1);
  if (r.idkind == 1) {
    check(inside(r.id, r.idlength, line.get(), size));
  }
  // Touch every byte handed out, so a bad pointer shows as a heap overflow.
  volatile unsigned sum = 0;
  for (int k = 0; k < r.namelength; ++k) {
    sum = sum + static_cast<unsigned char>(r.name[k]);
  }
  for (int k = 0; r.idkind == 1 && k < r.idlength; ++k) {
    sum = sum + static_cast<unsigned char>(r.id[k]);
  }
  return 0;
}
