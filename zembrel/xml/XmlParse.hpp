#pragma once

// The parse that fills the element table (ElementTable.hpp) from a document.

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zembrel::detail {

// One parse at a time in the process: the table and its counters are shared.
// Everything below runs with it held.
std::mutex& xmlParseLock();

// Starts a new parse: an empty table collecting `withElements` (every element
// when absent), no error.
void resetParseState(const std::optional<std::vector<std::string>>& withElements);

// Parses into the table: `text` is the document, or its path when it starts
// with "/". Ends with the records filled, or with gErrorOccurred and the error
// text in gErrorString.
void parseTextOrPath(const std::string& text);

// The same for a document in memory, never taken for a path.
void parseDocument(std::string_view document);

// The error text for running out of memory outside the parse.
std::string outOfMemoryText();

}  // namespace zembrel::detail
