// The child processes thumbtool starts for untrusted work (render workers, sandboxed
// thumbnailers): their resource limits, and waiting for them against a deadline. A child that
// overruns is killed by its process id and reaped, never looked up by name.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <optional>

#include "Deadline.hpp"

namespace thumbtool {

struct ChildLimits {
  std::optional<rlim_t> addressSpace;  // bytes of virtual memory
  std::optional<rlim_t> cpuSeconds;    // the child is killed by the kernel one second later
  std::optional<rlim_t> fileSize;      // bytes any one file it writes may reach
};

// Makes this process the first the kernel ends when memory runs out. Once a root process has
// become another user its own /proc entries are no longer its to write, so such a child calls
// this before it changes user. Async-signal-safe.
void offerToOutOfMemoryKiller();

// The child gets SIGKILL when its parent ends; false when the parent has ended already.
// Changing user clears this: call it again after. Async-signal-safe.
bool dieWithParent(pid_t parent);

// Call in a freshly forked child, before anything else: the child dies with its parent, writes
// no core file, is the first process the kernel ends when memory runs out, and gets the limits.
// False when any of them cannot be set. Async-signal-safe.
bool limitThisChild(const ChildLimits& limits, pid_t parent);

// Waits for the child until the deadline, and while withinLimits (if given, asked every 20 ms)
// holds. Its wait status when it ended in time; otherwise it is killed and reaped, and nothing
// is returned.
std::optional<int> waitForChild(pid_t pid, const Deadline& deadline,
                                const std::function<bool()>& withinLimits = {});

// The memory the process and all its descendants hold together (their proportional resident
// sizes: pages they share count once), as far as it can be read (a process that ends meanwhile
// counts nothing).
long long treeProportionalBytes(pid_t root);

// SIGKILL to the child (and to the process group it leads, if any), then reaps it.
void killChild(pid_t pid);

}  // namespace thumbtool
