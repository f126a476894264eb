#include "Sandbox.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <functional>

#include "ChildProcess.hpp"
#include "RunGroup.hpp"
#include "Seccomp.hpp"
#include "SystemLog.hpp"

namespace thumbtool {

namespace {

// Inside the sandbox: the thumbnailer's user and search path.
constexpr const char* kSandboxUser = "65534";
constexpr const char* kSandboxPath = "/usr/local/bin:/usr/bin:/bin";

// Limits on a thumbnailer and everything it starts. Address space is per process: each may have
// the whole of the run's share (the sandbox runs alone); where no control group holds the
// total, thumbtool also watches the resident size of the sandbox's whole tree. Tasks count
// threads too.
constexpr rlim_t kAddressSpace = kChildMemory;
constexpr rlim_t kLargestFile = rlim_t{64} << 20;
constexpr long long kTmpBytes = 64LL << 20;
constexpr long long kShmBytes = 16LL << 20;
// All a thumbnailer may write for thumbtool: one picture, and whatever else it leaves beside it.
constexpr long long kOutputBytes = 32LL << 20;
// What the sandbox's processes may hold together where no control group counts for them: its
// share, less what its tmpfs may hold (their pages are nobody's resident size).
constexpr long long kWatchedBytes =
    static_cast<long long>(kChildMemory) - kTmpBytes - kShmBytes - kOutputBytes;
constexpr const char* kMaxTasks = "--nproc=256";

// What the dynamic loader, fonts and MIME data need from /etc; everything else stays out.
constexpr const char* kEtcPaths[] = {"/etc/ld.so.cache", "/etc/ld.so.conf",   "/etc/ld.so.conf.d",
                                     "/etc/fonts",       "/etc/alternatives", "/etc/localtime",
                                     "/etc/mime.types"};
// The top-level links (or, on older systems, folders) into /usr.
constexpr const char* kUsrLinks[] = {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"};

// The descriptors the sandbox's command line refers to, in bubblewrap.
constexpr int kSourceFd = 3;
constexpr int kFilterFd = 4;
// Where the picture is copied to; inherited by the sandbox, closed for the thumbnailer itself.
constexpr int kPictureFd = 5;

// Runs the thumbnailer ("$@"), then copies its picture out if it is a regular file. The copy is
// bounded by the output tmpfs and the file-size limit.
constexpr const char* kCopyOut =
    "\"$@\" 5>&- || exit 1; p=/output/thumbnail.png; "
    "test -f \"$p\" && ! test -h \"$p\" && exec cat -- \"$p\" >&5";

std::string findProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr && *path != '\0' ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= folders.size()) {
    std::size_t end = folders.find(':', start);
    std::string folder = folders.substr(start, end == std::string::npos ? end : end - start);
    if (!folder.empty() && folder[0] == '/') {
      std::string candidate = folder + "/" + name;
      struct stat info {};
      if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
          access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
    if (end == std::string::npos) {
      break;
    }
    start = end + 1;
  }
  return {};
}

// The first line of what bubblewrap said, for the log.
std::string firstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  return line.empty() ? "no reason given" : line;
}

// The name the source is bound at: where it really is (links resolved) when that path still
// leads to the file, otherwise (a descriptor of stdin, a file deleted meanwhile) a name in the
// sandbox's /tmp with the same extension.
std::string pathInSandbox(const std::string& source, const struct stat& file) {
  char* real = realpath(source.c_str(), nullptr);
  std::string resolved = real != nullptr ? real : "";
  std::free(real);
  struct stat there {};
  if (!resolved.empty() && stat(resolved.c_str(), &there) == 0 && there.st_dev == file.st_dev &&
      there.st_ino == file.st_ino) {
    return resolved;
  }
  std::string name = source.substr(source.rfind('/') + 1);
  std::size_t dot = name.rfind('.');
  std::string extension = dot == std::string::npos ? "" : name.substr(dot);
  bool plain =
      extension.size() <= 16 && std::all_of(extension.begin(), extension.end(), [](char c) {
        return c == '.' || std::isalnum(static_cast<unsigned char>(c));
      });
  return std::string("/tmp/source") + (plain ? extension : "");
}

// Whether the user may walk down to path: bubblewrap resolves what it binds as that user.
bool reachableBy(const std::string& path, const RunUser& user) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    struct stat folder {};
    if (stat(path.substr(0, slash).c_str(), &folder) != 0) {
      return false;
    }
    mode_t search = folder.st_uid == user.uid   ? S_IXUSR
                    : folder.st_gid == user.gid ? S_IXGRP
                                                : S_IXOTH;
    if ((folder.st_mode & search) == 0) {
      return false;
    }
  }
  return true;
}

// Root's sandbox runs as the run's user when anyone may read the file, with the file's group
// when its group may, else as the file's (unprivileged) owner; a file that only root may read
// gets no thumbnailer.
std::optional<RunUser> unprivilegedReader(const struct stat& file, const RunUser& run) {
  if ((file.st_mode & S_IROTH) != 0) {
    return run;
  }
  if (file.st_gid != 0 && (file.st_mode & S_IRGRP) != 0) {
    return RunUser{run.uid, file.st_gid};
  }
  if (file.st_uid != 0 && (file.st_mode & S_IRUSR) != 0) {
    return RunUser{file.st_uid, run.gid};
  }
  return std::nullopt;
}

// In the child, before anything else: the sandbox's user outside its namespace.
bool becomeUser(const std::optional<RunUser>& user) { return !user || becomeRunUser(*user); }

}  // namespace

ThumbnailerSandbox::ThumbnailerSandbox(const std::string& source, int sourceFd, bool memoryHeld,
                                       const std::optional<RunUser>& runUser)
    : bwrap_(findProgram("bwrap")), filterFd_(thumbnailerFilterFile()), memoryHeld_(memoryHeld) {
  if (access("/usr/bin/prlimit", X_OK) == 0) {
    prlimit_ = "/usr/bin/prlimit";
  }
  struct stat info {};
  if (sourceFd < 0 || fstat(sourceFd, &info) != 0 || !S_ISREG(info.st_mode)) {
    return;
  }
  if (geteuid() == 0) {
    user_ = runUser ? unprivilegedReader(info, *runUser) : std::nullopt;
    if (!user_) {
      logToSystem("no thumbnailer run: no unprivileged user may read " + source);
      return;
    }
  }
  sourceFd_ = fcntl(sourceFd, F_DUPFD_CLOEXEC, 0);
  if (sourceFd_ < 0) {
    return;
  }
  sourcePath_ = pathInSandbox(source, info);
  if (user_ && !reachableBy(sourcePath_, *user_)) {
    // Not bound: the thumbnailer reads the descriptor it inherits, which needs only the file's
    // own permission.
    sourcePath_ = "/proc/self/fd/" + std::to_string(kSourceFd);
    bindSource_ = false;
  }
}

ThumbnailerSandbox::~ThumbnailerSandbox() {
  for (int fd : {sourceFd_, filterFd_}) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

std::vector<std::string> ThumbnailerSandbox::arguments(const ThumbnailerCommand& command) const {
  std::vector<std::string> argv = {bwrap_,       "--unshare-all",     "--unshare-user",
                                   "--uid",      kSandboxUser,        "--gid",
                                   kSandboxUser, "--disable-userns",  "--cap-drop",
                                   "ALL",        "--die-with-parent", "--new-session",
                                   "--clearenv", "--setenv",          "PATH",
                                   kSandboxPath, "--setenv",          "HOME",
                                   "/tmp",       "--setenv",          "TMPDIR",
                                   "/tmp",       "--setenv",          "LANG",
                                   "C.UTF-8",    "--setenv",          "MALLOC_ARENA_MAX",
                                   "2",          "--ro-bind",         "/usr",
                                   "/usr"};
  for (const char* link : kUsrLinks) {
    struct stat info {};
    if (lstat(link, &info) != 0) {
      continue;
    }
    if (S_ISLNK(info.st_mode)) {
      char target[4096];
      ssize_t length = readlink(link, target, sizeof target - 1);
      if (length > 0) {
        argv.insert(argv.end(),
                    {"--symlink", std::string(target, static_cast<std::size_t>(length)), link});
      }
    } else if (S_ISDIR(info.st_mode)) {
      argv.insert(argv.end(), {"--ro-bind", link, link});
    }
  }
  for (const char* path : kEtcPaths) {
    argv.insert(argv.end(), {"--ro-bind-try", path, path});
  }
  // The tmpfs bubblewrap makes for /dev has no size: shared memory gets a bounded one of its
  // own, and /dev itself is read-only.
  argv.insert(argv.end(),
              {"--proc", "/proc", "--dev", "/dev", "--size", std::to_string(kShmBytes), "--tmpfs",
               "/dev/shm", "--remount-ro", "/dev", "--size", std::to_string(kTmpBytes), "--tmpfs",
               "/tmp", "--size", std::to_string(kOutputBytes), "--tmpfs", "/output"});
  if (bindSource_) {
    argv.insert(argv.end(), {"--ro-bind-fd", std::to_string(kSourceFd), sourcePath_});
  }
  argv.insert(argv.end(), {"--chdir", "/tmp", "--seccomp", std::to_string(kFilterFd), "--"});
  if (!prlimit_.empty()) {
    argv.insert(argv.end(), {prlimit_, kMaxTasks, "--"});
  }
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

std::vector<std::string> ThumbnailerSandbox::copyingOut(const ThumbnailerCommand& command) {
  std::vector<std::string> wrapped = {"/bin/sh", "-c", kCopyOut, "sh"};
  wrapped.insert(wrapped.end(), command.begin(), command.end());
  return wrapped;
}

pid_t ThumbnailerSandbox::start(const std::vector<std::string>& argv, int picture, int errorFd,
                                const Deadline& deadline) {
  std::vector<char*> pointers;
  for (const std::string& arg : argv) {
    pointers.push_back(const_cast<char*>(arg.c_str()));
  }
  pointers.push_back(nullptr);
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  // bubblewrap reads the filter from the descriptor's current offset.
  if (null < 0 || lseek(filterFd_, 0, SEEK_SET) != 0) {
    if (null >= 0) {
      close(null);
    }
    return -1;
  }
  ChildLimits limits;
  limits.addressSpace = kAddressSpace;
  limits.cpuSeconds = static_cast<rlim_t>(deadline.remainingSeconds());
  limits.fileSize = kLargestFile;
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // Out of the way of the numbers they are moved to.
    int source = fcntl(sourceFd_, F_DUPFD_CLOEXEC, 10);
    int filter = fcntl(filterFd_, F_DUPFD_CLOEXEC, 10);
    int copy = fcntl(picture >= 0 ? picture : null, F_DUPFD_CLOEXEC, 10);
    offerToOutOfMemoryKiller();
    bool ready = becomeUser(user_) && limitThisChild(limits, parent) && setpgid(0, 0) == 0 &&
                 source >= 0 && filter >= 0 && copy >= 0 && dup2(null, STDIN_FILENO) >= 0 &&
                 dup2(null, STDOUT_FILENO) >= 0 &&
                 dup2(errorFd >= 0 ? errorFd : null, STDERR_FILENO) >= 0 &&
                 dup2(source, kSourceFd) >= 0 && dup2(filter, kFilterFd) >= 0 &&
                 (bindSource_ || fcntl(kSourceFd, F_SETFD, 0) == 0) &&
                 dup2(copy, kPictureFd) >= 0 && close_range(kPictureFd + 1, ~0U, 0) == 0;
    if (ready) {
      execv(pointers[0], pointers.data());
    }
    _exit(127);
  }
  close(null);
  return pid;
}

bool ThumbnailerSandbox::check(const Deadline& deadline) {
  if (bwrap_.empty()) {
    logToSystem("no thumbnailer run: bubblewrap (bwrap) is not installed");
    return false;
  }
  if (filterFd_ < 0) {
    logToSystem("no thumbnailer run: the system-call filter could not be made");
    return false;
  }
  int pipe[2];
  if (pipe2(pipe, O_CLOEXEC) != 0) {
    return false;
  }
  pid_t pid = start(arguments({"true"}), -1, pipe[1], deadline);
  close(pipe[1]);
  std::string said;
  if (pid > 0) {
    char buffer[1024];
    pollfd readable{pipe[0], POLLIN, 0};
    while (said.size() < 4096 && !deadline.passed() &&
           poll(&readable, 1, deadline.pollTimeout(1000)) >= 0) {
      ssize_t n = read(pipe[0], buffer, sizeof buffer);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        break;
      }
      said.append(buffer, static_cast<std::size_t>(n > 0 ? n : 0));
    }
  }
  close(pipe[0]);
  std::optional<int> status = pid > 0 ? waitForChild(pid, deadline) : std::nullopt;
  if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) {
    return true;
  }
  if (pid > 0 && status) {
    logToSystem("no thumbnailer run: bubblewrap cannot set up the sandbox: " + firstLine(said));
  }
  return false;
}

bool ThumbnailerSandbox::run(const ThumbnailerCommand& command, int picture,
                             const Deadline& deadline) {
  if (sourcePath_.empty() || command.empty()) {
    return false;
  }
  if (state_ == State::unchecked) {
    state_ = check(deadline) ? State::usable : State::unusable;
  }
  if (state_ != State::usable) {
    return false;
  }
  pid_t pid = start(arguments(copyingOut(command)), picture, -1, deadline);
  if (pid <= 0) {
    return false;
  }
  std::function<bool()> withinBudget;
  if (!memoryHeld_) {
    withinBudget = [pid] { return treeProportionalBytes(pid) <= kWatchedBytes; };
  }
  std::optional<int> status = waitForChild(pid, deadline, withinBudget);
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

}  // namespace thumbtool
