// The run's control group, made for real where the kernel lets this process make one (root, or
// a delegated part of the unified tree); skipped where it cannot. Everything happens in a
// forked child, so that the test process itself never changes group.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "GroupFolder.hpp"
#include "RunGroup.hpp"
#include "ServerProcess.hpp"

namespace thumbtool::test {
namespace {

namespace fs = std::filesystem;
using zembrel::test::ScopedTempDir;
using zembrel::test::writeFile;

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
  std::string name = runFolderName(owner);
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
  char admitted = '0';   // a child started before the group was moved into it, and killed with it
};

// A child that sleeps until killed.
pid_t sleeper() {
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    pause();
    _exit(0);
  }
  return pid;
}

// Whether the child was killed by SIGKILL within two seconds; one still running is killed.
bool endedBySigkill(pid_t pid) {
  int status = 0;
  for (int tries = 0; tries < 200; ++tries) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return false;
}

bool inRunGroup(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/cgroup");
  std::string groups((std::istreambuf_iterator<char>(file)), {});
  return groups.find("/" + runFolderName(getpid())) != std::string::npos;
}

Verdicts runInGroup() {
  Verdicts verdicts;
  std::string home = ownGroups();
  pid_t straggler = -1;
  pid_t early = sleeper();
  {
    RunGroup group = RunGroup::join({kLimit, kTasks});
    if (group.kind() == GroupKind::none) {
      kill(early, SIGKILL);
      waitpid(early, nullptr, 0);
      return verdicts;
    }
    bool outside = !inRunGroup(early);
    verdicts.admitted = outside && group.admit(early) && inRunGroup(early) ? '1' : '0';
    verdicts.made = '1';
    verdicts.memory = hogIsStopped() ? '1' : '0';
    verdicts.tasks = !group.holdsTasks() ? '-' : tasksAreBounded() ? '1' : '0';
    bool inside = ownGroups().find("/" + runFolderName(getpid())) != std::string::npos;
    straggler = sleeper();
    verdicts.moved = inside ? '1' : '0';
  }
  int status = 0;
  bool reaped = straggler > 0 && waitpid(straggler, &status, 0) == straggler;
  verdicts.straggler = reaped && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL ? '1' : '0';
  if (!endedBySigkill(early)) {
    verdicts.admitted = '0';
  }
  verdicts.moved = verdicts.moved == '1' && ownGroups() == home ? '1' : '0';
  verdicts.removed = groupFolderExists(getpid()) ? '0' : '1';
  return verdicts;
}

// What work reported from a forked child (this process never changes group); nothing when the
// child did not report or did not end normally.
template <typename Report>
std::optional<Report> reportOfForkedChild(Report (*work)()) {
  int ends[2];
  if (pipe(ends) != 0) {
    return std::nullopt;
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(ends[0]);
    Report report = work();
    _exit(write(ends[1], &report, sizeof report) == sizeof report ? 0 : 1);
  }
  close(ends[1]);
  Report report{};
  ssize_t n = pid > 0 ? read(ends[0], &report, sizeof report) : -1;
  close(ends[0]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0 || n != static_cast<ssize_t>(sizeof report)) {
    return std::nullopt;
  }
  return report;
}

TEST(RunGroupTest, HoldsMemoryAndTasksKillsWhatIsLeftAndRemovesItself) {
  std::optional<Verdicts> reported = reportOfForkedChild(runInGroup);
  ASSERT_TRUE(reported.has_value());
  const Verdicts& verdicts = *reported;
  if (verdicts.made != '1') {
    GTEST_SKIP() << "no control group can be made here: per-process limits hold the budget";
  }
  EXPECT_EQ(verdicts.memory, '1') << "a member used more than the group's memory";
  EXPECT_NE(verdicts.tasks, '0') << "a member started more tasks than the group allows";
  EXPECT_EQ(verdicts.moved, '1') << "the process was not in the group, or not back home after";
  EXPECT_EQ(verdicts.straggler, '1') << "a process left in the group outlived it";
  EXPECT_EQ(verdicts.removed, '1') << "the group's folder was left behind";
  EXPECT_EQ(verdicts.admitted, '1')
      << "a child started before the group was not moved into it, or outlived it";
}

// Whether any thread of this process is still in a group of this run.
bool aThreadIsInTheRunGroup() {
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    std::ifstream file(task.path() / "cgroup");
    std::string groups((std::istreambuf_iterator<char>(file)), {});
    if (groups.find("/" + runFolderName(getpid())) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// A run leaves its group with the image stack's threads running (after an icon): every thread
// must go home with it, or the group could not be removed and emptying it would kill thumbtool.
// '1' when every thread left the group with the process, '-' when no group can be made here.
char leaveWithASecondThread() {
  std::optional<RunGroup> group(RunGroup::join({kLimit, kTasks}));
  int release[2];
  if (group->kind() == GroupKind::none || pipe(release) != 0) {
    return '-';
  }
  std::thread waiting([&release] {
    char byte;
    static_cast<void>(read(release[0], &byte, 1));
  });
  bool joined = aThreadIsInTheRunGroup();
  group.reset();
  char verdict = joined && !aThreadIsInTheRunGroup() && !groupFolderExists(getpid()) ? '1' : '0';
  static_cast<void>(write(release[1], "x", 1));
  waiting.join();
  return verdict;
}

TEST(RunGroupTest, LeavingWithSeveralThreadsTakesThemAllHome) {
  std::optional<char> verdict = reportOfForkedChild(leaveWithASecondThread);
  ASSERT_TRUE(verdict.has_value()) << "the run ended itself";
  if (*verdict == '-') {
    GTEST_SKIP() << "no control group can be made here";
  }
  EXPECT_EQ(*verdict, '1') << "a thread stayed in the group, or its folder was left behind";
}

// The folder of this process's own group in the hierarchy a run's group would go below: the
// unified tree where its group offers memory, else the separate memory hierarchy. Empty when
// neither is mounted here.
std::string ownGroupFolder() {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string unifiedPoint;
  std::string memoryPoint;
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) {
      words.push_back(word);
    }
    auto dash = std::find(words.begin(), words.end(), "-");
    if (words.size() < 5 || std::distance(dash, words.end()) < 4 || words[3] != "/") {
      continue;
    }
    if (dash[1] == "cgroup2") {
      unifiedPoint = words[4];
    } else if (dash[1] == "cgroup" && ("," + dash[3] + ",").find(",memory,") != std::string::npos) {
      memoryPoint = words[4];
    }
  }
  std::istringstream groups(ownGroups());
  for (std::string line; std::getline(groups, line);) {
    std::string path = line.substr(line.find(':', line.find(':') + 1) + 1);
    std::string folder;
    if (line.rfind("0::", 0) == 0 && !unifiedPoint.empty()) {
      folder = unifiedPoint + path;
      std::ifstream offered(folder + "/cgroup.subtree_control");
      std::string controllers((std::istreambuf_iterator<char>(offered)), {});
      if (controllers.find("memory") == std::string::npos) {
        continue;
      }
    } else if (line.find(":memory:") != std::string::npos && !memoryPoint.empty()) {
      folder = memoryPoint + path;
    } else {
      continue;
    }
    return folder.back() == '/' ? folder.substr(0, folder.size() - 1) : folder;
  }
  return {};
}

// A process id that was just in use and is not any more.
pid_t endedProcessId() {
  pid_t pid = fork();
  if (pid == 0) {
    _exit(0);
  }
  waitpid(pid, nullptr, 0);
  return pid;
}

// Runs body in a forked child (so that this process never changes group) and returns its
// verdict ('s' when it could not make a group).
char inChild(const std::function<char()>& body) {
  int report[2];
  if (pipe(report) != 0) {
    return '0';
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(report[0]);
    char verdict = body();
    _exit(write(report[1], &verdict, 1) == 1 ? 0 : 1);
  }
  close(report[1]);
  char verdict = '0';
  static_cast<void>(read(report[0], &verdict, 1));
  close(report[0]);
  waitpid(pid, nullptr, 0);
  return verdict;
}

TEST(RunGroupTest, RemovesTheEmptyGroupsOfRunsThatWereKilled) {
  char verdict = inChild([] {
    std::string home = ownGroupFolder();
    fs::path stale = home + "/" + runFolderName(endedProcessId());
    fs::path live = home + "/" + runFolderName(getppid());
    // The same id in another process namespace says nothing about that run.
    fs::path elsewhere = home + "/thumbtool-1-" + std::to_string(endedProcessId());
    std::error_code error;
    if (home.empty() || !fs::create_directory(stale, error) ||
        !fs::create_directory(live, error) || !fs::create_directory(elsewhere, error)) {
      return 's';
    }
    bool made = RunGroup::join({kLimit, kTasks}).kind() != GroupKind::none;
    bool staleGone = !fs::exists(stale);
    bool othersKept = fs::exists(live) && fs::exists(elsewhere);
    for (const fs::path& folder : {stale, live, elsewhere}) {
      fs::remove(folder, error);
    }
    return !made ? 's' : staleGone && othersKept ? '1' : '0';
  });
  if (verdict == 's') {
    GTEST_SKIP() << "no control group can be made here";
  }
  EXPECT_EQ(verdict, '1') << "a killed run's group was left behind, or a live run's removed";
}

// Every signal whose default ends the process, caught or not by name elsewhere: the run removes
// its group and still ends by that signal. (Those that dump core are allowed none here.)
TEST(RunGroupTest, ARunEndedByASignalRemovesItsGroup) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE, SIGXCPU,
                     SIGXFSZ, SIGVTALRM, SIGPROF, SIGPOLL, SIGPWR}) {
    char verdict = inChild([signal] {
      // The run itself: a grandchild, so that this child can watch how it ends.
      int ready[2];
      if (pipe(ready) != 0) {
        return '0';
      }
      pid_t run = fork();
      if (run == 0) {
        rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        RunGroup group = RunGroup::join({kLimit, kTasks});
        char made = group.kind() != GroupKind::none ? '1' : 's';
        static_cast<void>(write(ready[1], &made, 1));
        for (;;) {
          pause();
        }
      }
      char made = '0';
      static_cast<void>(read(ready[0], &made, 1));
      if (made != '1') {
        kill(run, SIGKILL);
        waitpid(run, nullptr, 0);
        return 's';
      }
      kill(run, signal);
      int status = 0;
      waitpid(run, &status, 0);
      bool ended = WIFSIGNALED(status) && WTERMSIG(status) == signal;
      return ended && !groupFolderExists(run) ? '1' : '0';
    });
    if (verdict == 's') {
      GTEST_SKIP() << "no control group can be made here";
    }
    EXPECT_EQ(verdict, '1') << strsignal(signal)
                            << " did not end the run, or its group was left behind";
  }
}

// A run that is the first process of a process namespace of its own (id 1 there): it tells
// whether it got a group ('s': no namespace may be made here), then holds the group until the
// hold pipe closes.
pid_t runAsFirstOfItsNamespace(int tell, const int hold[2]) {
  pid_t outer = fork();
  if (outer != 0) {
    return outer;
  }
  // Only the test holds the pipe open.
  close(hold[1]);
  char verdict = 's';
  if (unshare(CLONE_NEWPID) == 0) {
    pid_t run = fork();
    if (run == 0) {
      {
        RunGroup group = RunGroup::join({kLimit, kTasks});
        verdict = group.kind() != GroupKind::none ? '1' : '0';
        static_cast<void>(write(tell, &verdict, 1));
        static_cast<void>(read(hold[0], &verdict, 1));
      }
      _exit(0);
    }
    _exit(run > 0 && waitpid(run, nullptr, 0) == run ? 0 : 1);
  }
  _exit(write(tell, &verdict, 1) == 1 ? 0 : 1);
}

// Runs that share a parent group and their process id, each in its own namespace (a job
// launcher's), each get a group of their own: neither goes without, or joins the other's.
TEST(RunGroupTest, RunsWithTheSameIdInOtherNamespacesEachGetAGroup) {
  int tell[2];
  int hold[2];
  ASSERT_EQ(pipe(tell), 0);
  ASSERT_EQ(pipe(hold), 0);
  pid_t first = runAsFirstOfItsNamespace(tell[1], hold);
  char firstMade = '0';
  static_cast<void>(read(tell[0], &firstMade, 1));
  pid_t second = firstMade == '1' ? runAsFirstOfItsNamespace(tell[1], hold) : -1;
  char secondMade = '0';
  if (second > 0) {
    static_cast<void>(read(tell[0], &secondMade, 1));
  }
  for (int fd : {tell[0], tell[1], hold[0], hold[1]}) {
    close(fd);
  }
  for (pid_t run : {first, second}) {
    if (run > 0) {
      waitpid(run, nullptr, 0);
    }
  }
  if (firstMade != '1') {
    GTEST_SKIP() << "no process namespace or no control group can be made here";
  }
  EXPECT_EQ(secondMade, '1') << "the second run got no group of its own";
}

struct ParentCase {
  const char* name;
  const char* ownGroup;
  // Each folder below the fake mount and what its cgroup.subtree_control offers.
  std::vector<std::pair<const char*, const char*>> folders;
  const char* expected;  // below the mount, or nullptr for none
  const char* mountRoot = "/";  // the group the mount shows
};

// A fake unified tree: where a run's group may go, and that it never goes above the caller's
// own group (a limited service would escape its limit there).
TEST(RunGroupTest, AGroupIsMadeOnlyBelowTheCallersOwn) {
  const std::vector<ParentCase> cases = {
      {"top of the tree", "/", {{"", "cpu memory pids"}}, ""},
      {"own group offers memory", "/work", {{"", "memory"}, {"work", "memory pids"}}, "/work"},
      {"service without memory", "/system.slice/limited.service",
       {{"", "memory pids"}, {"system.slice", "memory pids"}, {"system.slice/limited.service", ""}},
       nullptr},
      {"user scope", "/user.slice/user-1000.slice/app.scope",
       {{"", "memory"}, {"user.slice", "memory"}, {"user.slice/user-1000.slice", "memory"},
        {"user.slice/user-1000.slice/app.scope", "cpu"}},
       nullptr},
      {"mount of a group above", "/ct/work", {{"work", "memory"}}, "/work", "/ct"},
      // The name begins like the mount's group but lies beside it, outside what is mounted.
      {"group beside the mount's", "/ctx", {{"x", "memory"}}, nullptr, "/ct"},
  };
  for (const ParentCase& each : cases) {
    ScopedTempDir tree;
    for (const auto& [folder, offered] : each.folders) {
      fs::create_directories(tree.path() / folder);
      writeFile(tree.path() / folder / "cgroup.subtree_control", offered);
    }
    std::optional<std::string> parent =
        unifiedGroupParent(tree.path().string(), each.mountRoot, each.ownGroup);
    std::optional<std::string> expected;
    if (each.expected != nullptr) {
      expected = tree.path().string() + each.expected;
    }
    EXPECT_EQ(parent, expected) << each.name;
  }
}

}  // namespace
}  // namespace thumbtool::test
