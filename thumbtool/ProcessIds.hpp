// Which user and group ids the system's processes hold, for the choice of a run's own user.
#pragma once

#include <sys/types.h>

namespace thumbtool {

// Whether any process this one can see has the id as a uid or gid (real, effective, saved or for
// files). A /proc that cannot be read counts as holding it: the id is then not known to be free.
// Kernel threads are looked at only as far as needed to know them: they hold no user's ids.
bool processHoldsId(uid_t id);

}  // namespace thumbtool
