#pragma once

#include <string>
#include <variant>

namespace zembrel {

// Depth of a tree listing: absent, a number, or a decimal text (read as its
// leading integer, like "3" or " 2 levels"). Anything above 5 counts as 5; 0,
// negative values and texts without a number list the top directory only.
using FtpLevel = std::variant<std::monostate, long long, std::string>;

}  // namespace zembrel
