// The run's control group, made for real where the kernel lets this process make one (root, or
// a delegated part of the unified tree); skipped where it cannot. Everything happens in a
// forked child, so that the test process itself never changes group.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "RunGroup.hpp"

namespace thumbtool::test {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kLimit = std::uint64_t{128} << 20;
constexpr int kTasks = 16;

std::string ownGroups() {
  std::ifstream file("/proc/self/cgroup");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A child that touches far more memory than the group holds.
bool hogIsStopped() {
  pid_t hog = fork();
  if (hog == 0) {
    std::ofstream("/proc/self/oom_score_adj") << "1000";
    std::size_t size = kLimit * 4;
    auto* bytes = static_cast<char*>(std::malloc(size));
    if (bytes != nullptr) {
      std::memset(bytes, 1, size);
    }
    _exit(bytes == nullptr ? 1 : 0);
  }
  int status = 0;
  waitpid(hog, &status, 0);
  return !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// More sleepers than the group's tasks: the forks past the limit fail.
bool tasksAreBounded() {
  std::vector<pid_t> sleepers;
  for (int i = 0; i < 2 * kTasks; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      pause();
      _exit(0);
    }
    if (pid > 0) {
      sleepers.push_back(pid);
    }
  }
  for (pid_t pid : sleepers) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return static_cast<int>(sleepers.size()) < kTasks;
}

bool groupFolderExists(pid_t owner) {
  std::string name = "thumbtool-" + std::to_string(owner);
  std::error_code error;
  for (fs::recursive_directory_iterator it("/sys/fs/cgroup", error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_directory(error) && it->path().filename() == name) {
      return true;
    }
  }
  return false;
}

struct Verdicts {
  char made = '0';       // a group was made
  char memory = '0';     // the hog was stopped
  char tasks = '0';      // forks were bounded (or no pids controller: '-')
  char moved = '0';      // this process was in the group, and back home after leaving
  char straggler = '0';  // what it left running was killed
  char removed = '0';    // the folder is gone
};

Verdicts runInGroup() {
  Verdicts verdicts;
  std::string home = ownGroups();
  pid_t straggler = -1;
  {
    RunGroup group = RunGroup::join({kLimit, kTasks});
    if (group.kind() == GroupKind::none) {
      return verdicts;
    }
    verdicts.made = '1';
    verdicts.memory = hogIsStopped() ? '1' : '0';
    verdicts.tasks = !group.holdsTasks() ? '-' : tasksAreBounded() ? '1' : '0';
    bool inside = ownGroups().find("/thumbtool-" + std::to_string(getpid())) != std::string::npos;
    straggler = fork();
    if (straggler == 0) {
      setsid();
      pause();
      _exit(0);
    }
    verdicts.moved = inside ? '1' : '0';
  }
  int status = 0;
  bool reaped = straggler > 0 && waitpid(straggler, &status, 0) == straggler;
  verdicts.straggler = reaped && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL ? '1' : '0';
  verdicts.moved = verdicts.moved == '1' && ownGroups() == home ? '1' : '0';
  verdicts.removed = groupFolderExists(getpid()) ? '0' : '1';
  return verdicts;
}

TEST(RunGroupTest, HoldsMemoryAndTasksKillsWhatIsLeftAndRemovesItself) {
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(report[0]);
    Verdicts verdicts = runInGroup();
    _exit(write(report[1], &verdicts, sizeof verdicts) == sizeof verdicts ? 0 : 1);
  }
  close(report[1]);
  Verdicts verdicts;
  ssize_t n = read(report[0], &verdicts, sizeof verdicts);
  close(report[0]);
  waitpid(pid, nullptr, 0);
  ASSERT_EQ(n, static_cast<ssize_t>(sizeof verdicts));
  if (verdicts.made != '1') {
    GTEST_SKIP() << "no control group can be made here: per-process limits hold the budget";
  }
  EXPECT_EQ(verdicts.memory, '1') << "a member used more than the group's memory";
  EXPECT_NE(verdicts.tasks, '0') << "a member started more tasks than the group allows";
  EXPECT_EQ(verdicts.moved, '1') << "the process was not in the group, or not back home after";
  EXPECT_EQ(verdicts.straggler, '1') << "a process left in the group outlived it";
  EXPECT_EQ(verdicts.removed, '1') << "the group's folder was left behind";
}

}  // namespace
}  // namespace thumbtool::test
