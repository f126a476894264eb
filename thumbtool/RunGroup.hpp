// One memory and task budget for a whole run: thumbtool, its render workers and every sandboxed
// thumbnailer with all it starts. Where the kernel lets thumbtool make a control group, it moves
// itself into a new one that holds the budget, and every process it starts inherits it:
//   - in the unified tree, below its own group when that offers the memory controller to its
//     children (in practice at the tree's top, as root). Never below a group above its own:
//     that would take the run out of the limits its caller's group sets;
//   - else in the separate memory and pids hierarchies, below its own groups there (root).
// Leaving moves thumbtool back where it was, kills whatever is still in the group and removes
// it; so does a SIGTERM, SIGINT or SIGHUP meanwhile, and the folders of runs that were killed
// outright are removed by the next run in the same place. Where no group can be made, the
// budget is not the kernel's to keep: the callers fall back to per-process limits.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "GroupCleanup.hpp"

namespace thumbtool {

enum class GroupKind {
  none,      // no group could be made: per-process limits only
  unified,   // one group in the unified tree
  separate,  // groups in the separate memory (and, where possible, pids) hierarchies
};

// The memory one run may use in all. Where no group holds it, it is shared out: thumbtool keeps
// a little for itself, and the one worker or sandbox that runs at a time gets the rest.
inline constexpr std::uint64_t kRunMemory = std::uint64_t{512} << 20;
inline constexpr std::uint64_t kChildMemory = kRunMemory - (std::uint64_t{64} << 20);
// Processes and threads of a run, thumbtool's own included.
inline constexpr int kRunTasks = 256;

struct GroupLimits {
  std::uint64_t memoryBytes;  // memory the members may use together, swap included
  int maxTasks;               // processes and threads, together
};

// The folder a run's group may be made in, in the unified tree mounted at mountPoint (showing
// the group mountRoot) for a process in ownGroup: that group's own folder, when it offers the
// memory controller to its children; otherwise nothing.
std::optional<std::string> unifiedGroupParent(const std::string& mountPoint,
                                              const std::string& mountRoot,
                                              const std::string& ownGroup);

class RunGroup {
 public:
  // Makes the group and moves the calling process into it; a group of kind none when no group
  // can be made. Call while the process has one thread.
  static RunGroup join(const GroupLimits& limits);

  RunGroup() = default;
  ~RunGroup();
  RunGroup(RunGroup&& other) noexcept;
  RunGroup& operator=(RunGroup&& other) noexcept;
  RunGroup(const RunGroup&) = delete;
  RunGroup& operator=(const RunGroup&) = delete;

  // Moves a process that thumbtool started before it joined into the group (all of its
  // threads); true when it is in every group thumbtool made (or there is none).
  bool admit(pid_t pid) const;

  GroupKind kind() const { return kind_; }
  // Whether the kernel holds the members' memory together (and their tasks).
  bool holdsMemory() const { return kind_ != GroupKind::none; }
  bool holdsTasks() const { return holdsTasks_; }

 private:
  // Each makes and joins its kind of group, and says so in the members.
  bool joinUnified(const GroupLimits& limits);
  void joinSeparate(const GroupLimits& limits);
  void leave();

  GroupKind kind_ = GroupKind::none;
  bool holdsTasks_ = false;
  // The folders thumbtool made, outermost first.
  std::vector<GroupFolders> members_;
};

}  // namespace thumbtool
