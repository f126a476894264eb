#include "zembrel/xml/ElementTable.hpp"

namespace zembrel::detail {

// Allocated by the first parse rather than at load time, so hosts that never
// extract do not pay for the table.
std::unique_ptr<ElementRecord[]> gTheElementArray;
std::int32_t gTheElementArrayLength = 0;
std::int32_t gTheLevel = 0;
std::optional<std::vector<std::string>> gAllowableElements;
std::string gCurrentElement;
bool gErrorOccurred = false;
std::string gErrorString;
bool flatten = false;

}  // namespace zembrel::detail
