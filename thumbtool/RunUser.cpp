#include "RunUser.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
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

// The start of a small kernel file (at most size - 1 bytes, read in one call without stdio),
// ended by a NUL; its length, or -1 with errno set when it cannot be opened or read.
ssize_t readStart(int folder, const char* path, char* text, std::size_t size) {
  int fd = openat(folder, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  ssize_t length = read(fd, text, size - 1);
  int error = errno;
  close(fd);
  text[length > 0 ? length : 0] = '\0';
  errno = error;
  return length;
}

// Whether the process's status shows the id among its uids or gids. This runs for every process
// on the system.
bool statusHolds(int proc, const char* pid, uid_t id) {
  char path[32];
  std::snprintf(path, sizeof path, "%s/status", pid);
  char status[4096];
  // Nothing read: the process ended meanwhile.
  return readStart(proc, path, status, sizeof status) > 0 &&
         (lineHolds(status, "\nUid:", id) || lineHolds(status, "\nGid:", id));
}

// A process's ids as the kernel hands them to a pidfd's holder (Linux 6.13 and later): the same
// values its status file shows, without formatting that text, in a quarter of the time.
struct PidfdInfo {
  std::uint64_t mask;
  std::uint64_t cgroupId;
  std::uint32_t pid, tgid, ppid;
  std::uint32_t ruid, rgid, euid, egid, suid, sgid, fsuid, fsgid;
  std::uint32_t spare;
};
static_assert(sizeof(PidfdInfo) == 64, "the first published layout");
constexpr unsigned long kPidfdGetInfo = _IOWR(0xFF, 11, PidfdInfo);
constexpr std::uint64_t kPidfdInfoCreds = 1U << 1;

enum class Holding { no, yes, unknown };

// From the process's pidfd; unknown where the kernel has no such request.
Holding pidfdHolds(pid_t pid, uid_t id) {
  int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) {
    return errno == ESRCH ? Holding::no : Holding::unknown;  // ended meanwhile
  }
  PidfdInfo info{};
  info.mask = kPidfdInfoCreds;
  int result = ioctl(fd, kPidfdGetInfo, &info);
  int error = errno;
  close(fd);
  if (result != 0) {
    return error == ESRCH ? Holding::no : Holding::unknown;  // a zombie holds nothing
  }
  for (std::uint32_t held : {info.ruid, info.euid, info.suid, info.fsuid, info.rgid, info.egid,
                             info.sgid, info.fsgid}) {
    if (held == id) {
      return Holding::yes;
    }
  }
  return Holding::no;
}

// Whether /proc shows this process's own pid namespace, so that its numbers are the ones
// pidfd_open takes.
bool procIsOurNamespace(int proc) {
  char self[32];
  ssize_t length = readlinkat(proc, "self", self, sizeof self - 1);
  if (length <= 0) {
    return false;
  }
  self[length] = '\0';
  return std::strtol(self, nullptr, 10) == getpid();
}

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

bool processHoldsId(uid_t id) {
  DIR* folder = opendir("/proc");
  if (folder == nullptr) {
    return true;
  }
  bool usePidfd = procIsOurNamespace(dirfd(folder));
  bool holds = false;
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') {
      continue;
    }
    Holding holding = Holding::unknown;
    if (usePidfd) {
      holding = pidfdHolds(static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10)), id);
      // One refusal means this kernel has no such request: the rest go through status files.
      usePidfd = holding != Holding::unknown;
    }
    if (holding == Holding::yes ||
        (holding == Holding::unknown && statusHolds(dirfd(folder), entry->d_name, id))) {
      holds = true;
      break;
    }
  }
  closedir(folder);
  return holds;
}

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
