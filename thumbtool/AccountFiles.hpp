// Whether the user or group database knows an id, without the name service's start-up: where
// nsswitch.conf sends these lookups only to local files, the files are read directly (one read
// each); anywhere else (directory services, service-manager records) the name service is asked.
#pragma once

#include <sys/types.h>

namespace thumbtool {

// Where the databases live; tests point them elsewhere.
struct AccountFiles {
  const char* nsswitch = "/etc/nsswitch.conf";
  const char* passwd = "/etc/passwd";
  const char* group = "/etc/group";
};

enum class AccountDatabase { users, groups };

// Whether a user has the id as uid or a group has it as gid. A file that exists but cannot be
// read counts as naming it: the id is then not known to be free.
bool accountsUseId(unsigned long id, const AccountFiles& files = {});

// Whether nsswitch.conf (its text) resolves the database from local files only, so that reading
// them answers for the name service. Exposed for tests.
bool resolvedFromFilesOnly(const char* nsswitchText, AccountDatabase database);

}  // namespace thumbtool
