#include "zembrel/xml/XmlText.hpp"

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

// Byte length of the white space character that starts `text`, 0 if none.
std::size_t leadingSpaceLength(std::string_view text) {
  if (text.empty()) return 0;
  if (isAsciiSpace(text.front())) return 1;
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
  if (isAsciiSpace(text.back())) return 1;
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

}  // namespace zembrel::detail
