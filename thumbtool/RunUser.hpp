// The unprivileged user a run that root starts hands its untrusted work to: the render workers
// and the thumbnailer sandboxes. Each run gets a uid and gid of its own that no account names
// and no process holds, so nothing else on the system (not even another "nobody" process) may
// signal, trace or read the memory of what decodes a document for root.
#pragma once

#include <sys/types.h>

#include <optional>

#include "AccountFiles.hpp"

namespace thumbtool {

struct RunUser {
  uid_t uid;
  gid_t gid;
};

// The ids are drawn from this range, above the accounts, the service users, the container
// ranges commonly allotted from /etc/subuid and the dynamic users of service managers.
inline constexpr uid_t kFirstRunId = 0x71000000;
inline constexpr uid_t kRunIdCount = 0x01000000;

// Whether this process may become a run's user: root in a container may lack the right, and a
// user namespace may map none of the run ids (or forbid dropping the supplementary groups).
bool mayChangeUser();

// The files that allot users ranges of subordinate ids (a user may make processes and files with
// those ids in a namespace of their own, and so trace or signal a run that had one), and the
// account databases.
struct SubordinateIds {
  const char* uids = "/etc/subuid";
  const char* gids = "/etc/subgid";
  AccountFiles accounts = {};
};

// A fresh uid with the gid of the same number, neither known to the user and group databases,
// nor allotted to a user as a subordinate id, nor held (really, effectively, saved or for
// files) by any process; nothing when none was found after a few tries.
std::optional<RunUser> unusedRunUser(const SubordinateIds& allotted = {});

// In a child, before it takes untrusted work: no supplementary groups, the user's gid and uid,
// really and effectively, with no way back. Async-signal-safe.
bool becomeRunUser(const RunUser& user);

}  // namespace thumbtool
