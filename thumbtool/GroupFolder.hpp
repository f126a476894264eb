// Operations on the control-group folders that thumbtool makes. Those on one folder are usable
// from a signal handler: they allocate nothing and take no lock.
#pragma once

#include <sys/types.h>

#include <string>

namespace thumbtool {

// Writes text to an existing file of a group folder; false when it cannot.
bool writeGroupFile(const char* folder, const char* file, const char* text);

// Moves the calling process into the folder's group. A process with one thread moves through
// the group's "tasks" file where its hierarchy has one (the separate ones): the kernel moves the
// calling thread alone without first waiting for every processor to pass a quiescent state,
// which a whole-process move through cgroup.procs does (8-15 ms on the machines measured, most
// of a small run). Otherwise, and in the unified tree, through cgroup.procs.
bool moveSelfTo(const char* folder);

// SIGKILL to every member: through cgroup.kill where the kernel has it; else each process is
// pinned by a pidfd first and signalled only if it is still a member then, so a process id
// reused meanwhile is never hit.
void killGroupMembers(const char* folder);

// Moves the calling process to home, kills what is left in the folder and removes it, waiting
// a while for killed members to be gone.
void emptyAndRemoveGroup(const char* folder, const char* home);

// The name of the folder of the run with this process id: thumbtool-<namespace>-<pid>. The
// process namespace's number keeps runs apart that share a parent group but not their ids (each
// the first process of a namespace of its own, say).
std::string runFolderName(pid_t pid);

// Removes the folders in parent of runs in this process namespace whose process has ended (a
// run killed before it could remove its own); a folder whose members still live, or that
// belongs to another namespace, is left as it is.
void removeStaleRunGroups(const std::string& parent);

}  // namespace thumbtool
