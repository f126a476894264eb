// The render worker and its system-call filter, exercised in this process (which starts no
// threads of its own, so forking it is sound).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <mqueue.h>
#include <sys/fsuid.h>
#include <sys/ioctl.h>
#include <sys/msg.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BackgroundTask.hpp"
#include "Requirements.hpp"
#include "ProcessIds.hpp"
#include "RunUser.hpp"
#include "Seccomp.hpp"
#include "ServerProcess.hpp"
#include "TimeScale.hpp"
#include "Worker.hpp"

namespace thumbtool {
namespace {

namespace fs = std::filesystem;
using zembrel::test::ScopedTempDir;
using zembrel::test::writeFile;

bool refused(long rc) { return rc < 0 && errno == EPERM; }

// Calls newer than this C library's headers, by their numbers in the kernel's common table,
// which 64-bit x86 and Arm use unchanged; elsewhere -1, and those cases cannot be probed.
#if (defined(__x86_64__) && !defined(__ILP32__)) || defined(__aarch64__)
constexpr long kFchmodat2 = 452;
constexpr long kSetxattrat = 463;
#else
constexpr long kFchmodat2 = -1;
constexpr long kSetxattrat = -1;
#endif

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

bool landlockAvailable() {
  return syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U /* version */) >= 1;
}

struct FilterCase {
  const char* name;
  std::function<bool(const fs::path& folder)> behavesAsExpected;
};

// Each check runs inside a confined child and says whether the call was refused (or, for the
// calls a decoder needs, allowed).
const std::vector<FilterCase> kFilterCases = {
    {"network socket", [](const fs::path&) { return refused(socket(AF_INET, SOCK_STREAM, 0)); }},
    {"local socket", [](const fs::path&) { return refused(socket(AF_UNIX, SOCK_STREAM, 0)); }},
    {"create a file",
     [](const fs::path& folder) {
       std::string path = (folder / "new").string();
       return refused(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)) &&
              access(path.c_str(), F_OK) != 0;
     }},
    {"open for writing",
     [](const fs::path& folder) {
       return refused(open((folder / "existing").c_str(), O_RDWR | O_CLOEXEC));
     }},
    {"open for appending",
     [](const fs::path& folder) {
       return refused(openat(AT_FDCWD, (folder / "existing").c_str(), O_APPEND | O_CLOEXEC));
     }},
    {"remove a file",
     [](const fs::path& folder) {
       return refused(unlink((folder / "existing").c_str())) &&
              access((folder / "existing").c_str(), F_OK) == 0;
     }},
    {"start a program",
     [](const fs::path&) {
       char* argv[] = {const_cast<char*>("true"), nullptr};
       return refused(execv("/bin/true", argv));
     }},
    {"start a process", [](const fs::path&) { return refused(fork()); }},
    {"signal another process", [](const fs::path&) { return refused(kill(getppid(), 0)); }},
    {"read a file",
     [](const fs::path& folder) {
       int fd = open((folder / "existing").c_str(), O_RDONLY | O_CLOEXEC);
       char c = 0;
       bool ok = fd >= 0 && read(fd, &c, 1) == 1 && c == 'x';
       close(fd);
       return ok;
     }},
    {"start a thread",
     [](const fs::path&) {
       bool ran = false;
       std::thread([&ran] { ran = true; }).join();
       return ran;
     }},
    {"signal itself", [](const fs::path&) { return kill(getpid(), 0) == 0; }},
    // Calls a deny list misses: each is refused by default now.
    {"fchmodat2 widens a private file",
     [](const fs::path& folder) {
       fs::path file = folder / "private";
       if (kFchmodat2 < 0) {
         return true;  // no number known for this architecture
       }
       return refused(syscall(kFchmodat2, AT_FDCWD, file.c_str(), 0777, 0)) &&
              modeOf(file) == 0600;
     }},
    {"setxattrat writes an attribute",
     [](const fs::path& folder) {
       struct {
         std::uint64_t value;
         std::uint32_t size;
         std::uint32_t flags;
       } args{reinterpret_cast<std::uint64_t>("x"), 1, 0};
       if (kSetxattrat < 0) {
         return true;  // no number known for this architecture
       }
       return refused(syscall(kSetxattrat, AT_FDCWD, (folder / "existing").c_str(), 0,
                              "user.thumbtool", &args, sizeof args));
     }},
    {"ioctl beyond the terminal query",
     [](const fs::path& folder) {
       int fd = open((folder / "existing").c_str(), O_RDONLY | O_CLOEXEC);
       int flags = FS_IMMUTABLE_FL;
       int pending = 0;
       bool ok = fd >= 0 && ioctl(fd, FS_IOC_SETFLAGS, &flags) < 0 && errno == ENOTTY &&
                 ioctl(fd, FIONREAD, &pending) < 0 && errno == ENOTTY;
       close(fd);
       return ok;
     }},
    {"message queue",
     [](const fs::path&) {
       std::string name = "/thumbtool-probe-" + std::to_string(getpid());
       return refused(mq_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600, nullptr));
     }},
    {"System V message queue",
     [](const fs::path&) { return refused(msgget(IPC_PRIVATE, IPC_CREAT | 0600)); }},
    {"lower another process's limit",
     [](const fs::path&) {
       rlimit low{16, 16};
       return refused(prlimit(getppid(), RLIMIT_NOFILE, &low, nullptr));
     }},
    {"renice another process",
     [](const fs::path&) { return refused(setpriority(PRIO_PROCESS, getppid(), 19)); }},
    {"read another process's memory",
     [](const fs::path&) {
       if (!landlockAvailable()) {
         return true;  // the kernel has no way to say no here; the worker goes on without
       }
       std::string mem = "/proc/" + std::to_string(getppid()) + "/mem";
       int fd = open(mem.c_str(), O_RDONLY | O_CLOEXEC);
       close(fd);
       return fd < 0;
     }},
    {"read its own limits",
     [](const fs::path&) {
       rlimit limit{};
       return getrlimit(RLIMIT_AS, &limit) == 0;
     }},
};

// The probes run in a real worker, which sends its verdicts back as one row of pixels (255 for
// a call that behaved as expected).
TEST(RenderWorkerFilterTest, RefusesWhatADecoderNeverNeedsAndAllowsTheRest) {
  ScopedTempDir dir;
  writeFile(dir.path() / "existing", "x");
  writeFile(dir.path() / "private", "x");
  fs::permissions(dir.path() / "private", fs::perms::owner_read | fs::perms::owner_write);
  const auto cases = static_cast<int>(kFilterCases.size());
  WorkerTask probe = [&](WorkerReply& reply) {
    Image verdicts(cases, 1, 3);
    for (int i = 0; i < cases; ++i) {
      verdicts.pixels[static_cast<std::size_t>(i) * 3] =
          kFilterCases[static_cast<std::size_t>(i)].behavesAsExpected(dir.path()) ? 255 : 0;
    }
    reply.image(verdicts);
  };
  WorkerResult result = runInWorker(probe, Box{cases, 1}, Deadline(std::chrono::seconds(10)));
  ASSERT_TRUE(result.image.has_value()) << "the worker did not report";
  for (int i = 0; i < cases; ++i) {
    EXPECT_EQ(result.image->pixels[static_cast<std::size_t>(i) * 3], 255)
        << kFilterCases[static_cast<std::size_t>(i)].name;
  }
  EXPECT_EQ(modeOf(dir.path() / "private"), 0600U);
}

struct WorkerCase {
  const char* name;
  WorkerTask task;
  bool expectImage;
  std::optional<bool> expectFinished;  // nothing: depends on the build's kind of memory limit
};

std::ostream& operator<<(std::ostream& out, const WorkerCase& c) { return out << c.name; }

const Box kBox{200, 100};

Image sized(int width, int height) {
  Image image(width, height, 3);
  std::fill(image.pixels.begin(), image.pixels.end(), 7);
  return image;
}

class WorkerTest : public testing::TestWithParam<WorkerCase> {};

// Every case must end within the deadline plus a little, however the task behaves.
TEST_P(WorkerTest, EndsWithinItsLimitsAndReturnsOnlyWellFormedPixels) {
  const WorkerCase& c = GetParam();
  auto start = std::chrono::steady_clock::now();
  WorkerResult result = runInWorker(c.task, kBox, Deadline(std::chrono::seconds(3)));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, zembrel::test::scaled(std::chrono::seconds(5)));
  EXPECT_EQ(result.image.has_value(), c.expectImage);
  if (c.expectFinished) {
    EXPECT_EQ(result.finished, *c.expectFinished);
  }
  if (result.image) {
    EXPECT_EQ(result.image->pixels, sized(result.image->width, result.image->height).pixels);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tasks, WorkerTest,
    testing::Values(
        WorkerCase{"FittingImage", [](WorkerReply& r) { r.image(sized(200, 100)); }, true, true},
        WorkerCase{"ImageWiderThanTheBox", [](WorkerReply& r) { r.image(sized(201, 10)); }, false,
                   true},
        WorkerCase{"ImageTallerThanTheBox", [](WorkerReply& r) { r.image(sized(10, 101)); }, false,
                   true},
        WorkerCase{"NoImage", [](WorkerReply&) {}, false, true},
        WorkerCase{"Flood",
                   [](WorkerReply& r) {
                     // Writes past the reply's size limit fail; the whole message before it
                     // stands, the cut one is ignored.
                     for (int i = 0; i < 100; ++i) {
                       r.image(sized(200, 100));
                     }
                   },
                   true, true},
        WorkerCase{"Crash",
                   [](WorkerReply& r) {
                     r.image(sized(10, 10));
                     std::abort();
                   },
                   false, false},
        WorkerCase{"Overrun",
                   [](WorkerReply&) { std::this_thread::sleep_for(std::chrono::minutes(1)); },
                   false, false},
        WorkerCase{"MemoryBomb",
                   [](WorkerReply& r) {
                     // Past the limit the allocation fails (address-space limit) or the parent
                     // kills the worker (resident-size watch); either way no picture.
                     std::vector<std::vector<char>> hoard;
                     for (int i = 0; i < 64; ++i) {
                       hoard.emplace_back(std::size_t{64} << 20, 'x');
                     }
                     r.image(sized(10, 10));
                   },
                   false, std::nullopt}),
    [](const testing::TestParamInfo<WorkerCase>& info) { return std::string(info.param.name); });

// Root's worker decodes as the run's user: no root, no groups, nothing readable by name that
// only root may read; the document it was handed still reads through its descriptor.
TEST(WorkerUserTest, RootsWorkerBecomesTheRunsUserAndStillReadsItsInput) {
  if (geteuid() != 0) {
    ZEMBREL_SKIP_WITHOUT("root", "only root's workers change user");
  }
  std::optional<RunUser> user = unusedRunUser();
  ASSERT_TRUE(user.has_value());
  ScopedTempDir dir;
  fs::path secret = dir.path() / "secret";
  writeFile(secret, "only root");
  fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
  int input = open(secret.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(input, 0);
  const std::vector<std::pair<const char*, std::function<bool()>>> checks = {
      {"user", [&] { return getuid() == user->uid && geteuid() == user->uid; }},
      {"group", [&] { return getgid() == user->gid && getegid() == user->gid; }},
      {"no supplementary groups", [] { return getgroups(0, nullptr) == 0; }},
      {"root-only file by name",
       [&] { return open(secret.c_str(), O_RDONLY | O_CLOEXEC) < 0 && errno == EACCES; }},
      {"input through its descriptor",
       [] {
         char head[9] = {};
         return pread(kInputFdInWorker, head, sizeof head, 0) == 9 &&
                std::memcmp(head, "only root", 9) == 0;
       }},
  };
  const auto count = static_cast<int>(checks.size());
  WorkerTask probe = [&](WorkerReply& reply) {
    Image verdicts(count, 1, 3);
    for (int i = 0; i < count; ++i) {
      verdicts.pixels[static_cast<std::size_t>(i) * 3] =
          checks[static_cast<std::size_t>(i)].second() ? 255 : 0;
    }
    reply.image(verdicts);
  };
  WorkerResult result =
      runInWorker(probe, Box{count, 1}, Deadline(std::chrono::seconds(10)), input, user);
  close(input);
  ASSERT_TRUE(result.image.has_value()) << "the worker did not report";
  for (int i = 0; i < count; ++i) {
    EXPECT_EQ(result.image->pixels[static_cast<std::size_t>(i) * 3], 255)
        << checks[static_cast<std::size_t>(i)].first;
  }
}

// Work on a background thread ends before wait() returns, runs once, and what it throws stays
// with it.
TEST(BackgroundTaskTest, RunsItsWorkOnceAndDropsWhatItThrows) {
  for (bool throws : {false, true}) {
    int runs = 0;
    {
      BackgroundTask task([&runs, throws] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ++runs;
        if (throws) {
          throw std::runtime_error("dropped");
        }
      });
      task.wait();
      EXPECT_EQ(runs, 1) << "wait() returned before the work ended";
      task.wait();
    }
    EXPECT_EQ(runs, 1) << (throws ? "throwing" : "plain") << " work ran again";
  }
}

// What a started worker wrote to the pipe it was handed as its input, within the wait.
std::string readFor(int fd, std::chrono::milliseconds wait) {
  std::string text;
  auto end = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < end) {
    char buffer[64];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return text;
}

// A worker started ahead of its run prepares at once but takes its task only when told to go
// on; one never told is killed without taking it.
TEST(StartedWorkerTest, TakesItsTaskOnlyOnceToldToGoOn) {
  for (bool toldToGoOn : {true, false}) {
    SCOPED_TRACE(toldToGoOn ? "told to go on" : "dropped");
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK), 0);
    // The task reports only once its filter, made on the preparation's own thread, holds.
    WorkerTask task = [](WorkerReply&) {
      bool confined = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) < 0 && errno == EPERM;
      const std::string said = confined ? "task;" : "unconfined;";
      static_cast<void>(write(kInputFdInWorker, said.data(), said.size()));
    };
    Deadline deadline(std::chrono::seconds(10));
    auto worker = std::make_optional(startWorker(
        task, Box{1, 1}, deadline, pipeFds[1], [](const std::function<void()>& alongside) {
          BackgroundTask setUp(alongside);
          static_cast<void>(write(kInputFdInWorker, "prepared;", 9));
        }));
    close(pipeFds[1]);
    ASSERT_GT(worker->pid(), 0);
    const auto wait = zembrel::test::scaled(std::chrono::milliseconds(300));
    EXPECT_EQ(readFor(pipeFds[0], wait), "prepared;")
        << "the worker took its task before it was told to go on";
    WorkerResult result;
    if (toldToGoOn) {
      result = worker->finish(std::nullopt);
    }
    pid_t pid = worker->pid();
    worker.reset();
    EXPECT_EQ(readFor(pipeFds[0], wait), toldToGoOn ? "task;" : "");
    EXPECT_EQ(result.finished, toldToGoOn);
    EXPECT_TRUE(pid <= 0 || (kill(pid, 0) != 0 && errno == ESRCH)) << "the worker was not reaped";
    close(pipeFds[0]);
  }
}

// The ids a run gets are no account's and no process's.
TEST(WorkerUserTest, RunUsersAreUnknownAndUnused) {
  std::optional<RunUser> user = unusedRunUser();
  ASSERT_TRUE(user.has_value());
  EXPECT_EQ(user->uid, user->gid);
  EXPECT_GE(user->uid, kFirstRunId);
  EXPECT_LT(user->uid - kFirstRunId, kRunIdCount);
  EXPECT_EQ(getpwuid(user->uid), nullptr);
  EXPECT_EQ(getgrgid(user->gid), nullptr);
  for (const auto& entry : fs::directory_iterator("/proc")) {
    struct stat info {};
    if (stat(entry.path().c_str(), &info) == 0 && std::isdigit(entry.path().filename().string()[0])) {
      EXPECT_NE(info.st_uid, user->uid) << entry.path();
    }
  }
}

// A run's id held by another process in any of its eight slots is seen as taken; once that
// process is gone, the id is free again.
TEST(WorkerUserTest, AnIdHeldInAnySlotByAProcessIsTaken) {
  if (geteuid() != 0) {
    ZEMBREL_SKIP_WITHOUT("root", "only root can give a process arbitrary ids");
  }
  std::optional<RunUser> user = unusedRunUser();
  ASSERT_TRUE(user.has_value());
  const uid_t id = user->uid;
  const std::vector<std::pair<const char*, std::function<bool()>>> slots = {
      {"real uid", [id] { return setresuid(id, 0, 0) == 0; }},
      {"effective uid", [id] { return setresuid(0, id, 0) == 0; }},
      {"saved uid", [id] { return setresuid(0, 0, id) == 0; }},
      {"file uid", [id] { return setfsuid(id) >= 0 && setfsuid(~0U) == static_cast<int>(id); }},
      {"real gid", [id] { return setresgid(id, 0, 0) == 0; }},
      {"effective gid", [id] { return setresgid(0, id, 0) == 0; }},
      {"saved gid", [id] { return setresgid(0, 0, id) == 0; }},
      {"file gid", [id] { return setfsgid(id) >= 0 && setfsgid(~0U) == static_cast<int>(id); }},
  };
  for (const auto& [name, take] : slots) {
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
      char verdict = take() ? 'y' : 'n';
      static_cast<void>(write(ready[1], &verdict, 1));
      pause();
      _exit(0);
    }
    close(ready[1]);
    char verdict = 0;
    ASSERT_EQ(read(ready[0], &verdict, 1), 1);
    close(ready[0]);
    EXPECT_EQ(verdict, 'y') << name << ": the holder could not take the id";
    EXPECT_TRUE(processHoldsId(id)) << name;
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_FALSE(processHoldsId(id)) << name << ", after the holder ended";
  }
}

// A user allotted subordinate ids could make processes with them: a run never takes one, from
// either file; ranges elsewhere leave the run's own free.
TEST(WorkerUserTest, RunUsersAreNoUsersSubordinateIds) {
  ScopedTempDir dir;
  const std::string whole = std::to_string(kFirstRunId) + ":" + std::to_string(kRunIdCount);
  const std::string below = "100000:" + std::to_string(kFirstRunId - 100000);
  const std::string above = std::to_string(kFirstRunId + kRunIdCount) + ":65536";
  struct AllottedCase {
    const char* name;
    std::string uids;  // the files' contents
    std::string gids;
    bool runUserFound;
  };
  for (const AllottedCase& c :
       {AllottedCase{"run range as uids", "alice:" + whole + "\n", "", false},
        AllottedCase{"run range as gids", "", "1000:" + whole + "\n", false},
        AllottedCase{"after another line", "bob:" + below + "\nalice:" + whole, "", false},
        AllottedCase{"ranges beside it", "alice:" + below + "\nbob:" + above + "\n",
                     "alice:" + below + "\nbad line\n", true}}) {
    writeFile(dir.path() / "subuid", c.uids);
    writeFile(dir.path() / "subgid", c.gids);
    const std::string uids = (dir.path() / "subuid").string();
    const std::string gids = (dir.path() / "subgid").string();
    EXPECT_EQ(unusedRunUser({uids.c_str(), gids.c_str()}).has_value(), c.runUserFound) << c.name;
  }
}

TEST(WorkerReplyTest, TypesAreKeptOnlyWhenTheyLookLikeMimeTypes) {
  for (const auto& [sent, kept] :
       std::vector<std::pair<std::string, bool>>{{"image/png", true},
                                                 {"application/vnd.oasis.opendocument.text", true},
                                                 {"../../etc/passwd", false},
                                                 {"text/plain; charset=x", false},
                                                 {"plain", false},
                                                 {std::string(300, 'a') + "/b", false}}) {
    WorkerResult result = runInWorker([&](WorkerReply& r) { r.contentType(sent); }, kBox,
                                      Deadline(std::chrono::seconds(3)));
    EXPECT_EQ(result.contentType.has_value(), kept) << sent;
  }
  WorkerResult refusal =
      runInWorker([](WorkerReply& r) { r.refused(); }, kBox, Deadline(std::chrono::seconds(3)));
  EXPECT_TRUE(refusal.refused);
  EXPECT_TRUE(refusal.finished);
}

}  // namespace
}  // namespace thumbtool
