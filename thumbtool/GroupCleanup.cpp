#include "GroupCleanup.hpp"

#include <unistd.h>

#include <atomic>
#include <cstring>

#include "GroupFolder.hpp"

namespace thumbtool {

namespace {

// Every asynchronous signal whose default action ends the process (a terminal's, a timer's, a
// closed pipe's, a resource limit's, another program's). Faults (SIGSEGV and the like) are left
// alone: a process that took one is not fit to run a handler; the next run removes its group.
constexpr int kSignals[] = {SIGTERM, SIGINT,  SIGHUP,  SIGQUIT,   SIGALRM, SIGUSR1, SIGUSR2,
                            SIGPIPE, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGPOLL, SIGPWR};
constexpr std::size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];
constexpr std::size_t kMaxGroups = 2;
constexpr std::size_t kMaxPath = 4096;

// What the handler reads: fixed storage, written only while the signals are held (on the
// thread that writes; the count is atomic for a handler that runs on another thread).
struct Registered {
  char folder[kMaxPath];
  char home[kMaxPath];
};
Registered gGroups[kMaxGroups];
std::atomic<std::size_t> gCount{0};
std::atomic<pid_t> gOwner{0};
static_assert(std::atomic<std::size_t>::is_always_lock_free &&
                  std::atomic<pid_t>::is_always_lock_free,
              "a signal handler may use only lock-free atomics");
struct sigaction gPrevious[kSignalCount];
bool gInstalled = false;

void removeGroupsAndEnd(int signal) {
  // A render worker inherits the handler: only thumbtool itself cleans up.
  if (getpid() == gOwner) {
    for (std::size_t i = gCount.load(); i > 0; --i) {
      emptyAndRemoveGroup(gGroups[i - 1].folder, gGroups[i - 1].home);
    }
  }
  // The handler was reset on entry: the signal, held until it returns, then ends the process.
  raise(signal);
}

bool copyPath(char* to, const std::string& from) {
  if (from.size() + 1 > kMaxPath) {
    return false;
  }
  std::memcpy(to, from.c_str(), from.size() + 1);
  return true;
}

sigset_t handledSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kSignals) {
    sigaddset(&set, signal);
  }
  return set;
}

}  // namespace

SignalsHeld::SignalsHeld() {
  sigset_t held = handledSignals();
  sigprocmask(SIG_BLOCK, &held, &previous_);
}

SignalsHeld::~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

void removeGroupsOnSignal(const std::vector<GroupFolders>& groups) {
  gCount = 0;
  std::size_t count = 0;
  for (const GroupFolders& group : groups) {
    if (count < kMaxGroups && copyPath(gGroups[count].folder, group.folder) &&
        copyPath(gGroups[count].home, group.home)) {
      ++count;
    }
  }
  gCount = count;
  gOwner = getpid();
  if (gInstalled) {
    return;
  }
  struct sigaction action {};
  action.sa_handler = removeGroupsAndEnd;
  action.sa_flags = SA_RESETHAND;
  action.sa_mask = handledSignals();
  for (std::size_t i = 0; i < kSignalCount; ++i) {
    sigaction(kSignals[i], nullptr, &gPrevious[i]);
    if (gPrevious[i].sa_handler != SIG_IGN) {
      sigaction(kSignals[i], &action, nullptr);
    }
  }
  gInstalled = true;
}

void stopRemovingGroupsOnSignal() {
  gCount = 0;
  if (!gInstalled) {
    return;
  }
  for (std::size_t i = 0; i < kSignalCount; ++i) {
    sigaction(kSignals[i], &gPrevious[i], nullptr);
  }
  gInstalled = false;
}

}  // namespace thumbtool
