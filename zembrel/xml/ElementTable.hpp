#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "zembrel/CocoaXMLParser.hpp"

namespace zembrel::detail {

// One collected element of the current or last parse.
struct ElementRecord {
  std::string elementName;  // as written, prefix included
  std::string value;        // trimmed character data, appended piece by piece
  ElementEntry::Attributes attributes;
  std::int32_t level = 0;  // collected elements open when this one started
};

inline constexpr std::int32_t kElementTableSize = 100000;

// The extractor's process-wide state. Read and written only while holding
// xmlParseLock(); a parse resets the count and level, nothing is cleared at
// its end, so the last parse's records stay readable.
// Room for kElementTableSize records is reserved once, so the table never
// moves; records exist for the filled part only (size == gTheElementArrayLength).
extern std::vector<ElementRecord> gTheElementArray;
extern std::int32_t gTheElementArrayLength;                         // records filled
extern std::int32_t gTheLevel;                                      // collected elements open
extern std::optional<std::vector<std::string>> gAllowableElements;  // absent: every element
extern std::string gCurrentElement;  // most recently started element, collected or not
extern bool gErrorOccurred;
extern std::string gErrorString;
extern bool flatten;  // keeps its value from one call to the next

}  // namespace zembrel::detail
