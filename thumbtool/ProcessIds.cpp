#include "ProcessIds.hpp"

#include <dirent.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "KernelFile.hpp"

namespace thumbtool {

namespace {

// A kernel thread's flag in its stat file; no user process can set it.
constexpr unsigned long kKernelThreadFlag = 0x00200000;

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
  for (std::uint32_t held :
       {info.ruid, info.euid, info.suid, info.fsuid, info.rgid, info.egid, info.sgid, info.fsgid}) {
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

// The children of the kernel's thread starter, sorted: its threads, and the helper programs the
// kernel starts (module loading, core dumps), which are checked like any process. Pid 2 counts
// only when its flags say it is a kernel thread, which a process in a container named like it
// cannot fake; otherwise the list is empty.
std::vector<pid_t> kernelChildren(int proc) {
  std::vector<pid_t> threads;
  char stat[512];
  if (readStart(proc, "2/stat", stat, sizeof stat) <= 0) {
    return threads;
  }
  // The fields after the name (which may hold spaces and parentheses): state, ppid, pgrp,
  // session, tty, tpgid, flags.
  const char* at = std::strrchr(stat, ')');
  char* end = nullptr;
  unsigned long flags = 0;
  for (int field = 0; at != nullptr && field < 7; ++field) {
    at = std::strchr(at + 1, ' ');
    if (at != nullptr && field == 6) {
      flags = std::strtoul(at + 1, &end, 10);
    }
  }
  if ((flags & kKernelThreadFlag) == 0) {
    return threads;
  }
  // One number per child; a few thousand fit. Where they did not, the last number may be cut
  // short, and is dropped: a process left out of this list is only checked like any other.
  std::vector<char> list(64 * 1024);
  ssize_t length = readStart(proc, "2/task/2/children", list.data(), list.size());
  if (length <= 0) {
    return threads;
  }
  if (static_cast<std::size_t>(length) == list.size() - 1) {
    char* lastSpace = std::strrchr(list.data(), ' ');
    *(lastSpace != nullptr ? lastSpace : list.data()) = '\0';
  }
  for (const char* next = list.data(); *next != '\0';) {
    long pid = std::strtol(next, &end, 10);
    if (end == next) {
      break;
    }
    threads.push_back(static_cast<pid_t>(pid));
    next = end;
  }
  std::sort(threads.begin(), threads.end());
  return threads;
}

// Whether the process runs no program: a kernel thread has none, and holds no user's ids. One
// call instead of the three a full check takes; anything but "none" (a program, or no right to
// look) leaves the process to the full check.
bool isKernelThread(int proc, const char* pid) {
  char path[sizeof(dirent::d_name) + 8];
  std::snprintf(path, sizeof path, "%s/exe", pid);
  char target[8];
  return readlinkat(proc, path, target, sizeof target) < 0 && errno == ENOENT;
}

}  // namespace

bool processHoldsId(uid_t id) {
  DIR* folder = opendir("/proc");
  if (folder == nullptr) {
    return true;
  }
  bool usePidfd = procIsOurNamespace(dirfd(folder));
  const std::vector<pid_t> kernelStarted = kernelChildren(dirfd(folder));
  bool holds = false;
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') {
      continue;
    }
    auto pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
    if (std::binary_search(kernelStarted.begin(), kernelStarted.end(), pid) &&
        isKernelThread(dirfd(folder), entry->d_name)) {
      continue;
    }
    Holding holding = Holding::unknown;
    if (usePidfd) {
      holding = pidfdHolds(pid, id);
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

}  // namespace thumbtool
