#include "ChildProcess.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace thumbtool {

namespace {

// How often a watched child's limits are looked at, in milliseconds.
constexpr int kWatchInterval = 20;

bool setLimit(int resource, rlim_t soft, rlim_t hard) {
  rlimit limit{soft, hard};
  return setrlimit(resource, &limit) == 0;
}

// The wait status once the child has ended; nothing while it runs.
std::optional<int> reapIfEnded(pid_t pid) {
  int status = 0;
  pid_t done = waitpid(pid, &status, WNOHANG);
  while (done < 0 && errno == EINTR) {
    done = waitpid(pid, &status, WNOHANG);
  }
  if (done == pid) {
    return status;
  }
  if (done < 0) {
    return -1;  // not our child any more: nothing left to wait for
  }
  return std::nullopt;
}

// The process's proportional share of the pages it maps: a page shared by n processes counts
// 1/n in each, so the sum over a tree counts every page once.
long long proportionalBytesOf(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/smaps_rollup", static_cast<int>(pid));
  std::FILE* file = std::fopen(path, "re");
  long long kib = 0;
  char line[256];
  while (file != nullptr && std::fgets(line, sizeof line, file) != nullptr) {
    if (std::sscanf(line, "Pss: %lld kB", &kib) == 1) {
      break;
    }
  }
  if (file != nullptr) {
    std::fclose(file);
  }
  return kib * 1024;
}

// The children of every thread of the process.
std::vector<pid_t> childrenOf(pid_t pid) {
  std::vector<pid_t> children;
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* folder = opendir(tasks.c_str());
  if (folder == nullptr) {
    return children;
  }
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] == '.') {
      continue;
    }
    std::FILE* file = std::fopen((tasks + "/" + entry->d_name + "/children").c_str(), "re");
    for (int child = 0; file != nullptr && std::fscanf(file, "%d", &child) == 1;) {
      children.push_back(child);
    }
    if (file != nullptr) {
      std::fclose(file);
    }
  }
  closedir(folder);
  return children;
}

}  // namespace

long long treeProportionalBytes(pid_t root) {
  long long total = 0;
  std::vector<pid_t> pending = {root};
  // A bound on the walk: the sandbox's task limit is far below it.
  for (std::size_t seen = 0; !pending.empty() && seen < 4096; ++seen) {
    pid_t pid = pending.back();
    pending.pop_back();
    total += proportionalBytesOf(pid);
    std::vector<pid_t> children = childrenOf(pid);
    pending.insert(pending.end(), children.begin(), children.end());
  }
  return total;
}

void offerToOutOfMemoryKiller() {
  // Where the run's memory runs out, the kernel takes the child, not thumbtool (its pick goes by
  // resident size, and memory held in files or pipes is no one's).
  int adjust = open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
  if (adjust >= 0) {
    static_cast<void>(write(adjust, "1000", 4));
    close(adjust);
  }
}

bool dieWithParent(pid_t parent) {
  return prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() == parent;
}

bool limitThisChild(const ChildLimits& limits, pid_t parent) {
  if (!dieWithParent(parent)) {
    return false;
  }
  offerToOutOfMemoryKiller();
  bool ok = setLimit(RLIMIT_CORE, 0, 0);
  if (limits.addressSpace) {
    ok = ok && setLimit(RLIMIT_AS, *limits.addressSpace, *limits.addressSpace);
  }
  if (limits.cpuSeconds) {
    ok = ok && setLimit(RLIMIT_CPU, *limits.cpuSeconds, *limits.cpuSeconds + 1);
  }
  if (limits.fileSize) {
    // Past the limit a write fails with EFBIG instead of killing the writer.
    signal(SIGXFSZ, SIG_IGN);
    ok = ok && setLimit(RLIMIT_FSIZE, *limits.fileSize, *limits.fileSize);
  }
  return ok;
}

std::optional<int> waitForChild(pid_t pid, const Deadline& deadline,
                                const std::function<bool()>& withinLimits) {
  // A pidfd lets poll() wake at the child's exit; without one, look every 5 ms. (Called
  // directly: this C library's header declares the wrapper without C linkage for C++.)
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  for (;;) {
    if (std::optional<int> status = reapIfEnded(pid)) {
      if (pidfd >= 0) {
        close(pidfd);
      }
      return status;
    }
    if (deadline.passed() || (withinLimits && !withinLimits())) {
      break;
    }
    if (pidfd >= 0) {
      pollfd ended{pidfd, POLLIN, 0};
      poll(&ended, 1, deadline.pollTimeout(withinLimits ? kWatchInterval : 1000));
    } else {
      timespec pause{0, 5 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
  }
  if (pidfd >= 0) {
    close(pidfd);
  }
  killChild(pid);
  return std::nullopt;
}

void killChild(pid_t pid) {
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace thumbtool
