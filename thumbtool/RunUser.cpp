#include "RunUser.hpp"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace thumbtool {

namespace {

constexpr int kTries = 8;

// Whether the id appears in the process's Uid: or Gid: line (real, effective, saved, file).
bool statusHolds(const char* pid, uid_t id) {
  std::string path = std::string("/proc/") + pid + "/status";
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) {
    return false;  // ended meanwhile
  }
  bool holds = false;
  char line[256];
  while (!holds && std::fgets(line, sizeof line, file) != nullptr) {
    unsigned long ids[4] = {};
    if (std::sscanf(line, "Uid: %lu %lu %lu %lu", &ids[0], &ids[1], &ids[2], &ids[3]) == 4 ||
        std::sscanf(line, "Gid: %lu %lu %lu %lu", &ids[0], &ids[1], &ids[2], &ids[3]) == 4) {
      for (unsigned long each : ids) {
        holds = holds || each == id;
      }
    }
  }
  std::fclose(file);
  return holds;
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
    if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9' && statusHolds(entry->d_name, id)) {
      holds = true;
      break;
    }
  }
  closedir(folder);
  return holds;
}

}  // namespace

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
