#include "SystemLog.hpp"

#include <syslog.h>

namespace thumbtool {

void logToSystem(const std::string& line) {
  openlog("thumbtool", LOG_PID, LOG_USER);
  syslog(LOG_WARNING, "%s", line.c_str());
  closelog();
}

}  // namespace thumbtool
