#pragma once

// The texts of host messages and result texts, formatted in one place.

#include <cstdint>
#include <string>
#include <string_view>

namespace zembrel::detail {

// "#progress|%5qi": the byte count, right-aligned in at least five places.
std::string progressMessageText(std::int64_t bytes);
// "#complete|%3ld": the status, right-aligned in at least three places.
std::string completeMessageText(std::int32_t status);
// "#error|TEXT|CODE": the text as given, the code as a signed decimal.
std::string errorMessageText(std::string_view text, std::int64_t code);

}  // namespace zembrel::detail
