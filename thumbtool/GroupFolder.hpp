// Operations on one control-group folder that thumbtool made, usable from a signal handler:
// nothing here allocates or takes a lock.
#pragma once

#include <string>

namespace thumbtool {

// Writes text to an existing file of a group folder; false when it cannot.
bool writeGroupFile(const char* folder, const char* file, const char* text);

// SIGKILL to every member: through cgroup.kill where the kernel has it; else each process is
// pinned by a pidfd first and signalled only if it is still a member then, so a process id
// reused meanwhile is never hit.
void killGroupMembers(const char* folder);

// Moves the calling process to home, kills what is left in the folder and removes it, waiting
// a while for killed members to be gone.
void emptyAndRemoveGroup(const char* folder, const char* home);

// Removes the folders thumbtool-<pid> in parent whose process has ended (a run killed before it
// could remove its own); a folder whose members still live is left as it is.
void removeStaleRunGroups(const std::string& parent);

}  // namespace thumbtool
