// A run's control groups are removed when thumbtool is ended by a signal it may catch (any
// asynchronous one whose default ends the process: SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGALRM,
// SIGUSR1/2, SIGPIPE, the resource limits' and the timers'): the handler moves thumbtool home,
// kills what is left in each group, removes it, and then lets the signal end the process as it
// would have. SIGKILL cannot be caught: the
// next run in the same group removes what such a run left (removeStaleRunGroups).
#pragma once

#include <signal.h>

#include <string>
#include <vector>

namespace thumbtool {

struct GroupFolders {
  std::string folder;  // the group thumbtool made
  std::string home;    // where thumbtool goes back to
};

// Blocks the signals above for its lifetime, so that the groups never change under a handler.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

// Installs the handler for these groups (innermost last), or replaces the ones it had. A signal
// the process ignores stays ignored. Call with the signals held.
void removeGroupsOnSignal(const std::vector<GroupFolders>& groups);

// Puts back the handlers that were there before. Call with the signals held.
void stopRemovingGroupsOnSignal();

}  // namespace thumbtool
