#pragma once

// Text rules shared by every part of the library.

#include <string_view>

namespace zembrel::detail {

// `text` (UTF-8) without white space and line breaks at either end: Unicode
// space separators, line and paragraph separators, tab, U+000A to U+000D and
// U+0085.
std::string_view trimWhitespaceAndNewlines(std::string_view text);

// Whether all of `text` is well-formed UTF-8 (a zero byte included).
bool isValidUtf8(std::string_view text);

}  // namespace zembrel::detail
