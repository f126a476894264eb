// The system log: where thumbtool says why it fell back (it prints nothing but the unknown
// format message).
#pragma once

#include <string>

namespace thumbtool {

// One line, tagged "thumbtool" with the process id.
void logToSystem(const std::string& line);

}  // namespace thumbtool
