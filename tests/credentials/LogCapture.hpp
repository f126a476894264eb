#pragma once

#include <string>

namespace zembrel::test {

// Sends this process's standard error (where system log lines go) to a file
// until text() is called, which restores it and returns what was written.
class LogCapture {
 public:
  LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture();
  std::string text();

 private:
  int savedStderr_ = -1;
  std::string path_;
};

// A name no other test run uses, so runs sharing a keyring never meet.
std::string uniqueName(const std::string& prefix);

}  // namespace zembrel::test
