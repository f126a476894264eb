#include "RunUser.hpp"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KernelFile.hpp"
#include "ProcessIds.hpp"

namespace thumbtool {

namespace {

constexpr int kTries = 8;

// Whether the user namespace's map (uid_map or gid_map) holds every run id in one extent. One
// that an unprivileged user or a rootless container made maps a few ids only, and becoming an
// unmapped one fails. Without user namespaces every id is there.
bool runIdsMapped(const char* mapFile) {
  char map[4096];
  ssize_t length = readStart(AT_FDCWD, mapFile, map, sizeof map);
  if (length <= 0) {
    return length < 0 && errno == ENOENT;
  }
  for (char* at = map; *at != '\0';) {
    char* end = nullptr;
    unsigned long long first = std::strtoull(at, &end, 10);
    std::strtoull(end, &end, 10);  // the outer id the extent starts at
    unsigned long long count = std::strtoull(end, &end, 10);
    if (end == at) {
      return false;
    }
    if (first <= kFirstRunId && std::uint64_t{kFirstRunId} + kRunIdCount <= first + count) {
      return true;
    }
    at = end;
  }
  return false;
}

// Whether the supplementary groups may be dropped: a namespace can forbid it.
bool groupsMayBeSet() {
  char state[8];
  ssize_t length = readStart(AT_FDCWD, "/proc/self/setgroups", state, sizeof state);
  if (length < 0 && errno == ENOENT) {
    return true;  // a kernel that has no such switch
  }
  return length > 0 && std::strncmp(state, "deny", 4) != 0;
}

// Whether a line of the file (user:first:count) allots the id.
bool allotsId(const char* file, std::uint64_t id) {
  std::FILE* ranges = std::fopen(file, "re");
  if (ranges == nullptr) {
    return false;
  }
  bool found = false;
  char line[512];
  while (!found && std::fgets(line, sizeof line, ranges) != nullptr) {
    const char* colon = std::strchr(line, ':');
    char* end = nullptr;
    std::uint64_t first = colon != nullptr ? std::strtoull(colon + 1, &end, 10) : 0;
    if (end == nullptr || *end != ':') {
      continue;
    }
    std::uint64_t count = std::strtoull(end + 1, &end, 10);
    found = first <= id && id - first < count;
  }
  std::fclose(ranges);
  return found;
}

}  // namespace

bool mayChangeUser() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) {
    return false;
  }
  auto effective = [&](int capability) {
    return (data[CAP_TO_INDEX(capability)].effective & CAP_TO_MASK(capability)) != 0;
  };
  return effective(CAP_SETUID) && effective(CAP_SETGID) && runIdsMapped("/proc/self/uid_map") &&
         runIdsMapped("/proc/self/gid_map") && groupsMayBeSet();
}

std::optional<RunUser> unusedRunUser(const SubordinateIds& allotted) {
  for (int attempt = 0; attempt < kTries; ++attempt) {
    std::uint32_t draw = 0;
    if (getrandom(&draw, sizeof draw, 0) != static_cast<ssize_t>(sizeof draw)) {
      return std::nullopt;
    }
    auto id = static_cast<uid_t>(kFirstRunId + draw % kRunIdCount);
    if (!accountsUseId(id, allotted.accounts) && !allotsId(allotted.uids, id) &&
        !allotsId(allotted.gids, id) && !processHoldsId(id)) {
      return RunUser{id, id};
    }
  }
  return std::nullopt;
}

bool becomeRunUser(const RunUser& user) {
  return setgroups(0, nullptr) == 0 && setresgid(user.gid, user.gid, user.gid) == 0 &&
         setresuid(user.uid, user.uid, user.uid) == 0 && getuid() == user.uid &&
         geteuid() == user.uid && getgid() == user.gid && setuid(0) != 0;
}

}  // namespace thumbtool
