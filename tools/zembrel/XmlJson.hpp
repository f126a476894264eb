#pragma once

#include <ostream>

#include "zembrel/CocoaXMLParser.hpp"

namespace zembrel::cli {

// Writes an extraction result as JSON: a list of {"element","value",
// "attributes"} objects (value a string or a nested list), or a list holding
// the one error text. Consumes the result, so large texts are moved rather
// than copied. Bytes that are not UTF-8 are written as U+FFFD.
void writeXmlResultJson(std::ostream& out, XMLResult&& result);

}  // namespace zembrel::cli
