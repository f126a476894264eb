#include "GroupFolder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace thumbtool {

namespace {

// How long removal waits for killed members to be gone before it gives up.
constexpr int kEmptyingMilliseconds = 2000;
// Members looked at per pass; a larger group is killed over several passes.
constexpr int kMembersPerPass = 512;
constexpr const char* kRunPrefix = "thumbtool-";

// folder + "/" + file into buffer; false when it does not fit.
bool joinPath(char* buffer, std::size_t size, const char* folder, const char* file) {
  std::size_t folderLength = std::strlen(folder);
  std::size_t fileLength = std::strlen(file);
  if (folderLength + 1 + fileLength + 1 > size) {
    return false;
  }
  std::memcpy(buffer, folder, folderLength);
  buffer[folderLength] = '/';
  std::memcpy(buffer + folderLength + 1, file, fileLength + 1);
  return true;
}

// The process ids listed in the folder's cgroup.procs, at most max of them.
int readMembers(const char* folder, pid_t* pids, int max) {
  char path[4096];
  int fd = joinPath(path, sizeof path, folder, "cgroup.procs") ? open(path, O_RDONLY | O_CLOEXEC)
                                                                : -1;
  if (fd < 0) {
    return 0;
  }
  int count = 0;
  long value = -1;
  char chunk[512];
  for (ssize_t n = 0; count < max && (n = read(fd, chunk, sizeof chunk)) > 0;) {
    for (ssize_t i = 0; i < n && count < max; ++i) {
      if (chunk[i] >= '0' && chunk[i] <= '9') {
        value = (value < 0 ? 0 : value * 10) + (chunk[i] - '0');
      } else if (value >= 0) {
        pids[count++] = static_cast<pid_t>(value);
        value = -1;
      }
    }
  }
  if (value > 0 && count < max) {
    pids[count++] = static_cast<pid_t>(value);
  }
  close(fd);
  return count;
}

bool contains(const pid_t* pids, int count, pid_t pid) {
  for (int i = 0; i < count; ++i) {
    if (pids[i] == pid) {
      return true;
    }
  }
  return false;
}

void sleepMilliseconds(long milliseconds) {
  timespec interval{0, milliseconds * 1000 * 1000};
  nanosleep(&interval, nullptr);
}

// This process's namespace as the start of its runs' folder names.
std::string runPrefix() {
  struct stat space {};
  unsigned long long number = stat("/proc/self/ns/pid", &space) == 0 ? space.st_ino : 0;
  return kRunPrefix + std::to_string(number) + "-";
}

// The pid a run's folder in this namespace is named after, or 0 for any other name.
pid_t ownerOf(const char* name, const std::string& prefix) {
  if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0) {
    return 0;
  }
  const char* digits = name + prefix.size();
  char* end = nullptr;
  long pid = std::strtol(digits, &end, 10);
  return end != digits && *end == '\0' && pid > 0 ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

bool writeGroupFile(const char* folder, const char* file, const char* text) {
  char path[4096];
  int fd = joinPath(path, sizeof path, folder, file) ? open(path, O_WRONLY | O_CLOEXEC) : -1;
  if (fd < 0) {
    return false;
  }
  std::size_t length = std::strlen(text);
  bool ok = write(fd, text, length) == static_cast<ssize_t>(length);
  return close(fd) == 0 && ok;
}

// Threads in this process, from /proc/self/stat (field 20, after the name in parentheses); 0
// when it cannot be read.
int ownThreadCount() {
  char stat[1024];
  int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
  ssize_t length = fd >= 0 ? read(fd, stat, sizeof stat - 1) : -1;
  if (fd >= 0) {
    close(fd);
  }
  if (length <= 0) {
    return 0;
  }
  stat[length] = '\0';
  const char* at = std::strrchr(stat, ')');
  // State is field 3; num_threads is 17 fields further.
  for (int field = 2; at != nullptr && field < 20; ++field) {
    at = std::strchr(at + 1, ' ');
  }
  int count = 0;
  for (at = at != nullptr ? at + 1 : nullptr; at != nullptr && *at >= '0' && *at <= '9'; ++at) {
    count = count * 10 + (*at - '0');
  }
  return count;
}

bool moveSelfTo(const char* folder) {
  return (ownThreadCount() == 1 && writeGroupFile(folder, "tasks", "0")) ||
         writeGroupFile(folder, "cgroup.procs", "0");
}

void killGroupMembers(const char* folder) {
  if (writeGroupFile(folder, "cgroup.kill", "1")) {
    return;
  }
  pid_t listed[kMembersPerPass];
  int pidfds[kMembersPerPass];
  int count = readMembers(folder, listed, kMembersPerPass);
  for (int i = 0; i < count; ++i) {
    pidfds[i] = static_cast<int>(syscall(SYS_pidfd_open, listed[i], 0));
  }
  pid_t still[kMembersPerPass];
  int stillCount = readMembers(folder, still, kMembersPerPass);
  for (int i = 0; i < count; ++i) {
    if (pidfds[i] < 0) {
      continue;
    }
    if (contains(still, stillCount, listed[i])) {
      syscall(SYS_pidfd_send_signal, pidfds[i], SIGKILL, nullptr, 0);
    }
    close(pidfds[i]);
  }
}

void emptyAndRemoveGroup(const char* folder, const char* home) {
  moveSelfTo(home);
  for (int waited = 0; waited < kEmptyingMilliseconds; ++waited) {
    // The kernel refuses while members live (ended ones not yet reaped do not count).
    if (rmdir(folder) == 0 || errno == ENOENT) {
      return;
    }
    if (waited % 50 == 0) {
      killGroupMembers(folder);
    }
    sleepMilliseconds(1);
  }
  rmdir(folder);
}

std::string runFolderName(pid_t pid) { return runPrefix() + std::to_string(pid); }

void removeStaleRunGroups(const std::string& parent) {
  DIR* folder = opendir(parent.c_str());
  if (folder == nullptr) {
    return;
  }
  const std::string prefix = runPrefix();
  while (dirent* entry = readdir(folder)) {
    pid_t owner = ownerOf(entry->d_name, prefix);
    // An id that is in use again keeps its folder: it may be a run's. rmdir removes only empty
    // groups, so a live run elsewhere keeps its own either way.
    if (owner > 0 && owner != getpid() && kill(owner, 0) != 0 && errno == ESRCH) {
      unlinkat(dirfd(folder), entry->d_name, AT_REMOVEDIR);
    }
  }
  closedir(folder);
}

}  // namespace thumbtool
