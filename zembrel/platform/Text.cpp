#include "zembrel/platform/Text.hpp"

#include <glib.h>

namespace zembrel::detail {
namespace {

// The white space characters other than ASCII ones, in UTF-8.
constexpr std::string_view kTwoByteSpaces[] = {"\xC2\x85", "\xC2\xA0"};
constexpr std::string_view kThreeByteSpaces[] = {
    "\xE1\x9A\x80",                                  // U+1680
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",  // U+2000..
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86",
    "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",  // ..U+200A
    "\xE2\x80\xA8", "\xE2\x80\xA9",                                  // U+2028, U+2029
    "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",                  // U+202F, U+205F, U+3000
};

bool isAsciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Lead bytes of the multi-byte white space characters.
bool mayLeadSpace(unsigned char c) { return c == 0xC2 || (c >= 0xE1 && c <= 0xE3); }

// Byte length of the white space character that starts `text`, 0 if none.
std::size_t leadingSpaceLength(std::string_view text) {
  if (text.empty()) return 0;
  auto first = static_cast<unsigned char>(text.front());
  if (first < 0x80) return isAsciiSpace(text.front()) ? 1 : 0;
  if (!mayLeadSpace(first)) return 0;
  for (auto space : kTwoByteSpaces) {
    if (text.starts_with(space)) return space.size();
  }
  for (auto space : kThreeByteSpaces) {
    if (text.starts_with(space)) return space.size();
  }
  return 0;
}

// Byte length of the white space character that ends `text`, 0 if none. The
// text is valid UTF-8, so a matching suffix is always a whole character.
std::size_t trailingSpaceLength(std::string_view text) {
  if (text.empty()) return 0;
  auto last = static_cast<unsigned char>(text.back());
  if (last < 0x80) return isAsciiSpace(text.back()) ? 1 : 0;
  // Every multi-byte white space character ends in one of these bytes.
  if (last != 0x85 && last != 0xA0 && !(last >= 0x80 && last <= 0x8A) && last != 0xA8 &&
      last != 0xA9 && last != 0xAF && last != 0x9F) {
    return 0;
  }
  for (auto space : kTwoByteSpaces) {
    if (text.ends_with(space)) return space.size();
  }
  for (auto space : kThreeByteSpaces) {
    if (text.ends_with(space)) return space.size();
  }
  return 0;
}

}  // namespace

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
  for (auto n = leadingSpaceLength(text); n != 0; n = leadingSpaceLength(text))
    text.remove_prefix(n);
  for (auto n = trailingSpaceLength(text); n != 0; n = trailingSpaceLength(text))
    text.remove_suffix(n);
  return text;
}

bool isValidUtf8(std::string_view text) {
  return g_utf8_validate_len(text.data(), static_cast<gssize>(text.size()), nullptr);
}

}  // namespace zembrel::detail
