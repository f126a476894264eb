#pragma once

#include <string_view>

namespace zembrel::detail {

// `text` (UTF-8) without white space and line breaks at either end: Unicode
// space separators, line and paragraph separators, tab, U+000A to U+000D and
// U+0085.
std::string_view trimWhitespaceAndNewlines(std::string_view text);

}  // namespace zembrel::detail
