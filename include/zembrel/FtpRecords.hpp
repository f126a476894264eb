#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zembrel {

// One remote directory entry as a directory listing gives it.
struct FtpEntry {
  std::string name;               // trimmed; never "." or ".."
  bool directory = false;         // the entry may be a directory (directories and links)
  std::vector<FtpEntry> children; // filled by a tree walk within the requested depth

  bool operator==(const FtpEntry&) const = default;  // member by member, children included
};

// Result of a tree listing.
struct ListingResult {
  std::vector<FtpEntry> directories;  // the top directory, in server order
  std::optional<std::string> result;  // "text|code", "Cancelled by user|0", or absent

  bool operator==(const ListingResult&) const = default;  // member by member
};

// The code of an FTP result text ("TEXT|CODE": the reply's code, libcurl's
// error code, or 0 for a cancel or a limit): the signed decimal after the last
// "|" (a server's "|" never reaches a result). Absent when there is none.
inline std::optional<std::int64_t> resultCode(std::string_view result) {
  const std::size_t bar = result.rfind('|');
  if (bar == std::string_view::npos) return std::nullopt;
  const std::string_view digits = result.substr(bar + 1);
  std::int64_t code = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), code);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return code;
}

}  // namespace zembrel
