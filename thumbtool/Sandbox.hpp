// External thumbnailers run only inside a bubblewrap sandbox. It sees the system's programs,
// libraries, fonts, MIME and icon data read-only, the one source file read-only and a small
// tmpfs for its output; nothing of the user's home, no /run, no network, no other process, no
// capabilities, a minimal environment, a system-call filter and limits on memory (within the
// run's one budget), CPU time, file size and processes. When thumbtool runs as root, the sandbox
// runs as the run's own unprivileged user outside its namespace too (see RunUser.hpp), so
// nothing root owns counts as its own and no other process shares its user.
// Only the picture leaves the sandbox, copied into a descriptor thumbtool holds; everything else
// goes with the sandbox's tmpfs. Without a bubblewrap that can set all of this up, no thumbnailer
// runs at all.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "Deadline.hpp"
#include "Modules.hpp"
#include "RunUser.hpp"

namespace thumbtool {

// Where a thumbnailer is to write its picture inside the sandbox (a size-limited tmpfs).
inline constexpr const char* kSandboxOutputFile = "/output/thumbnail.png";

class ThumbnailerSandbox {
 public:
  // Binds the open source file (the one that was inspected, whatever happens to its path
  // meanwhile); source is the name it was given, for thumbnailers that go by the name.
  // memoryHeld: whether a control group holds the run's memory (else thumbtool watches it).
  // runUser: the run's own user, which root's sandboxes run as (see unprivilegedReader).
  ThumbnailerSandbox(const std::string& source, int sourceFd, bool memoryHeld,
                     const std::optional<RunUser>& runUser);
  ~ThumbnailerSandbox();
  ThumbnailerSandbox(const ThumbnailerSandbox&) = delete;
  ThumbnailerSandbox& operator=(const ThumbnailerSandbox&) = delete;

  // The source as thumbnailers see it (links resolved): what %i and %u are made from. Empty
  // when the source cannot be bound.
  const std::string& sourcePath() const { return sourcePath_; }

  // Runs the command in a fresh sandbox and copies what it left at kSandboxOutputFile (a regular
  // file, not a link) into picture. True when both exit with status 0 before the deadline; an
  // overrunning thumbnailer is killed with everything it started. The first run checks that
  // bubblewrap can set up the sandbox here; when it is missing or cannot, the reason goes to
  // the system log and this and every later run return false.
  bool run(const ThumbnailerCommand& command, int picture, const Deadline& deadline);

 private:
  enum class State { unchecked, usable, unusable };

  std::vector<std::string> arguments(const ThumbnailerCommand& command) const;
  // The command followed by the copy of its picture to kPictureFd.
  static std::vector<std::string> copyingOut(const ThumbnailerCommand& command);
  // Starts bubblewrap with picture as its descriptor kPictureFd; its error stream goes to
  // errorFd, or nowhere when that is -1.
  pid_t start(const std::vector<std::string>& argv, int picture, int errorFd,
              const Deadline& deadline);
  bool check(const Deadline& deadline);

  std::string bwrap_;
  std::string prlimit_;
  std::string sourcePath_;
  int sourceFd_ = -1;
  int filterFd_ = -1;
  // Who the sandbox runs as outside its namespace; nothing when that is thumbtool's own user.
  std::optional<RunUser> user_;
  // Whether the source is bound at sourcePath_, or inherited as a descriptor there.
  bool bindSource_ = true;
  bool memoryHeld_ = false;
  State state_ = State::unchecked;
};

}  // namespace thumbtool
