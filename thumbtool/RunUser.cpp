#include "RunUser.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace thumbtool {

namespace {

constexpr int kTries = 8;

// Whether the id is one of the four (real, effective, saved, file) on the status line that
// starts with key.
bool lineHolds(const char* status, const char* key, uid_t id) {
  const char* line = std::strstr(status, key);
  if (line == nullptr) {
    return false;
  }
  char* at = const_cast<char*>(line + std::strlen(key));
  for (int field = 0; field < 4; ++field) {
    char* end = nullptr;
    unsigned long value = std::strtoul(at, &end, 10);
    if (end == at) {
      return false;
    }
    if (value == id) {
      return true;
    }
    at = end;
  }
  return false;
}

// Whether the process's status shows the id among its uids or gids. Read in one call, without
// stdio: this runs for every process on the system.
bool statusHolds(int proc, const char* pid, uid_t id) {
  char path[32];
  std::snprintf(path, sizeof path, "%s/status", pid);
  int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;  // ended meanwhile
  }
  char status[4096];
  ssize_t length = read(fd, status, sizeof status - 1);
  close(fd);
  if (length <= 0) {
    return false;
  }
  status[length] = '\0';
  return lineHolds(status, "\nUid:", id) || lineHolds(status, "\nGid:", id);
}

// Whether any process this one can see holds the id. A /proc that cannot be read counts as
// holding it: the id is then not known to be free.
bool anyProcessHolds(uid_t id) {
  DIR* folder = opendir("/proc");
  if (folder == nullptr) {
    return true;
  }
  bool holds = false;
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9' &&
        statusHolds(dirfd(folder), entry->d_name, id)) {
      holds = true;
      break;
    }
  }
  closedir(folder);
  return holds;
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
  return effective(CAP_SETUID) && effective(CAP_SETGID);
}

std::optional<RunUser> unusedRunUser() {
  for (int attempt = 0; attempt < kTries; ++attempt) {
    std::uint32_t draw = 0;
    if (getrandom(&draw, sizeof draw, 0) != static_cast<ssize_t>(sizeof draw)) {
      return std::nullopt;
    }
    auto id = static_cast<uid_t>(kFirstRunId + draw % kRunIdCount);
    if (getpwuid(id) == nullptr && getgrgid(id) == nullptr && !anyProcessHolds(id)) {
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
