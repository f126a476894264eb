#pragma once

#include <optional>
#include <string>
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

}  // namespace zembrel
