#include "GroupCleanup.hpp"

#include <unistd.h>

#include <cstring>

#include "GroupFolder.hpp"

namespace thumbtool {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr std::size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];
constexpr std::size_t kMaxGroups = 2;
constexpr std::size_t kMaxPath = 4096;

// What the handler reads: fixed storage, written only while the signals are held.
struct Registered {
  char folder[kMaxPath];
  char home[kMaxPath];
};
Registered gGroups[kMaxGroups];
std::size_t gCount = 0;
pid_t gOwner = 0;
struct sigaction gPrevious[kSignalCount];
bool gInstalled = false;

void removeGroupsAndEnd(int signal) {
  // A render worker inherits the handler: only thumbtool itself cleans up.
  if (getpid() == gOwner) {
    for (std::size_t i = gCount; i > 0; --i) {
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
  for (const GroupFolders& group : groups) {
    if (gCount < kMaxGroups && copyPath(gGroups[gCount].folder, group.folder) &&
        copyPath(gGroups[gCount].home, group.home)) {
      ++gCount;
    }
  }
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
