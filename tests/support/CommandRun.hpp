#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace zembrel::test {

// What a program run printed on standard output, and its exit status (-1
// when it did not exit normally or was killed at the deadline).
struct CommandRun {
  std::string out;
  int status = -1;
};

// Runs `program` with the arguments (passed as they are, no shell), standard
// input fed from `input` (at most a pipe's worth, 64 KiB), standard error
// inherited; a run still going at the deadline is killed.
CommandRun runCommand(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& input = "",
                      std::chrono::seconds deadline = std::chrono::seconds(10));

}  // namespace zembrel::test
