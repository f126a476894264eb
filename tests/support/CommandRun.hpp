#pragma once

#include <string>
#include <vector>

namespace zembrel::test {

// What a program run printed on standard output, and its exit status (-1
// when it did not exit normally).
struct CommandRun {
  std::string out;
  int status = -1;
};

// Runs `program` with the arguments (passed as they are, no shell), standard
// input fed from `input`, standard error discarded; waits for it to end.
CommandRun runCommand(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& input = "");

}  // namespace zembrel::test
