#include "zembrel/xml/ElementTable.hpp"

namespace zembrel::detail {

// Reserved by the first parse rather than at load time, so hosts that never
// extract do not pay for the table; pages of unused records are never touched.
std::vector<ElementRecord> gTheElementArray;
std::int32_t gTheElementArrayLength = 0;
std::int32_t gTheLevel = 0;
std::optional<std::vector<std::string>> gAllowableElements;
std::string gCurrentElement;
bool gErrorOccurred = false;
std::string gErrorString;
bool flatten = false;

}  // namespace zembrel::detail
