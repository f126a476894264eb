#include "ChildProcess.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace

bool limitThisChild(const ChildLimits& limits, pid_t parent) {
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
    return false;
  }
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
