#include "Subprocess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zembrel::test {
namespace {

// The test's environment with the overrides in place of their names.
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& overrides) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (overrides.count(text.substr(0, text.find('='))) == 0) entries.push_back(text);
  }
  for (const auto& [name, value] : overrides) entries.push_back(name + "=" + value);
  return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Owns the file actions and the parent's ends of the pipes until the spawn
// succeeded; closes the child's ends whatever happens.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  std::vector<int> childEnds;
  int out = -1;
  int err = -1;

  SpawnSetup() { posix_spawn_file_actions_init(&actions); }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : childEnds) ::close(fd);
    if (out >= 0) ::close(out);
    if (err >= 0) ::close(err);
  }

  void input(const std::optional<std::string>& bytes) {
    if (!bytes) {
      posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
      return;
    }
    // A file in memory rather than a pipe: any size, and the child reads
    // all of it, then the end.
    const int fd = ::memfd_create("input", MFD_CLOEXEC);
    if (fd < 0) throw std::runtime_error("memfd_create failed");
    childEnds.push_back(fd);
    if (!bytes->empty() && ::write(fd, bytes->data(), bytes->size()) !=
                               static_cast<ssize_t>(bytes->size())) {
      throw std::runtime_error("cannot hold the input");
    }
    ::lseek(fd, 0, SEEK_SET);
    posix_spawn_file_actions_adddup2(&actions, fd, STDIN_FILENO);
  }

  // Returns the parent's end of a captured stream, or -1.
  int output(Output how, int target) {
    if (how == Output::inherit) return -1;
    if (how == Output::discard) {
      posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_WRONLY, 0);
      return -1;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    childEnds.push_back(fds[1]);
    posix_spawn_file_actions_adddup2(&actions, fds[1], target);
    return fds[0];
  }
};

}  // namespace

Subprocess::Subprocess(std::vector<std::string> argv, const ChildOptions& options) {
  argv.insert(argv.begin(), options.launcher.begin(), options.launcher.end());
  if (argv.empty()) throw std::invalid_argument("no program to start");
  SpawnSetup setup;
  setup.input(options.input);
  setup.out = setup.output(options.out, STDOUT_FILENO);
  setup.err = setup.output(options.err, STDERR_FILENO);
  if (!options.workingFolder.empty()) {
    posix_spawn_file_actions_addchdir_np(&setup.actions, options.workingFolder.c_str());
  }
  std::vector<std::string> environment = environmentWith(options.environment);
  std::vector<char*> envp = pointersTo(environment);
  std::vector<char*> argp = pointersTo(argv);
  started_ = std::chrono::steady_clock::now();
  const int failed =
      ::posix_spawnp(&pid_, argp[0], &setup.actions, nullptr, argp.data(), envp.data());
  if (failed != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(failed));
  }
  std::swap(out_, setup.out);
  std::swap(err_, setup.err);
  whileRunning_ = options.whileRunning;
  sampleEvery_ = options.sampleEvery;
}

Subprocess::~Subprocess() { kill(); }

std::string Subprocess::readLine() {
  std::string line;
  char c;
  while (out_ >= 0 && ::read(out_, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

ProgramRun Subprocess::finish(std::chrono::milliseconds deadline) {
  ProgramRun run;
  const auto killAt = started_ + deadline;
  // Both streams are drained before waiting, so a long report cannot block the child.
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        killAt - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timedOut = true;
      ::kill(pid_, SIGKILL);
      break;
    }
    if (whileRunning_) whileRunning_(pid_);
    const auto wait = whileRunning_ ? std::min(left, sampleEvery_) : left;
    if (::poll(fds, 2, static_cast<int>(wait.count())) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
      }
    }
  }
  closeOutput();
  // The deadline holds also for a child whose output is not captured, or
  // that closed it and goes on.
  int status = 0;
  rusage usage{};
  while (pid_ > 0) {
    const pid_t ended = ::wait4(pid_, &status, WNOHANG, &usage);
    if (ended == pid_ || (ended < 0 && errno != EINTR)) break;
    if (whileRunning_) whileRunning_(pid_);
    if (!run.timedOut && std::chrono::steady_clock::now() >= killAt) {
      run.timedOut = true;
      ::kill(pid_, SIGKILL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  run.peakResidentKiB = usage.ru_maxrss;
  run.status = WIFEXITED(status) && !run.timedOut ? WEXITSTATUS(status) : -1;
  return run;
}

void Subprocess::stop(std::chrono::milliseconds grace) {
  closeOutput();
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + grace;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

void Subprocess::kill() {
  closeOutput();
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

void Subprocess::closeOutput() {
  for (int* fd : {&out_, &err_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

ProgramRun runProgram(const std::vector<std::string>& argv, const ChildOptions& options,
                      std::chrono::milliseconds deadline) {
  return Subprocess(argv, options).finish(deadline);
}

ProgramRun runCommand(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& input, std::chrono::milliseconds deadline) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  ChildOptions options;
  options.input = input;
  return runProgram(argv, options, deadline);
}

}  // namespace zembrel::test
