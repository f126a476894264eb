// External thumbnailers run only inside a bubblewrap sandbox. It sees the system's programs,
// libraries, fonts, MIME and icon data read-only, the one source file read-only and one private
// output folder; nothing of the user's home, no /run, no network, no other process, no
// capabilities (as root too: the thumbnailer runs as an unprivileged user), a minimal
// environment, a system-call filter and limits on memory, CPU time, file size and processes.
// Without a bubblewrap that can set all of this up, no thumbnailer runs at all.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "Deadline.hpp"
#include "Modules.hpp"

namespace thumbtool {

// Where the private output folder appears inside the sandbox.
inline constexpr const char* kSandboxOutputFolder = "/output";

class ThumbnailerSandbox {
 public:
  // Opens the source (by path only, nothing is read) so that the sandbox binds exactly the
  // file that was inspected, whatever happens to the path meanwhile.
  explicit ThumbnailerSandbox(const std::string& source);
  ~ThumbnailerSandbox();
  ThumbnailerSandbox(const ThumbnailerSandbox&) = delete;
  ThumbnailerSandbox& operator=(const ThumbnailerSandbox&) = delete;

  // The source as thumbnailers see it (links resolved): what %i and %u are made from. Empty
  // when the source cannot be bound.
  const std::string& sourcePath() const { return sourcePath_; }

  // Runs the command with the output folder writable at kSandboxOutputFolder. True when it exits
  // with status 0 before the deadline; an overrunning thumbnailer is killed with everything it
  // started. The first run checks that bubblewrap can set up the sandbox here; when it is missing
  // or cannot, the reason goes to the system log and this and every later run return false.
  bool run(const ThumbnailerCommand& command, const std::string& outputFolder,
           const Deadline& deadline);

 private:
  enum class State { unchecked, usable, unusable };

  std::vector<std::string> arguments(const ThumbnailerCommand& command,
                                     const std::string& outputFolder) const;
  // Starts bubblewrap; its error stream goes to errorFd, or nowhere when that is -1.
  pid_t start(const std::vector<std::string>& argv, int errorFd, const Deadline& deadline);
  bool check(const std::string& outputFolder, const Deadline& deadline);

  std::string bwrap_;
  std::string prlimit_;
  std::string sourcePath_;
  int sourceFd_ = -1;
  int filterFd_ = -1;
  State state_ = State::unchecked;
};

}  // namespace thumbtool
