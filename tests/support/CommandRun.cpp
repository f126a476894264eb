#include "CommandRun.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zembrel::test {

CommandRun runCommand(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& input, std::chrono::seconds deadline) {
  CommandRun run;
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return run;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return run;
  }
  // Written before the program starts: it gets all of it, then the end.
  const bool fed = input.empty() ||
                   ::write(in[1], input.data(), input.size()) == static_cast<ssize_t>(input.size());
  ::close(in[1]);
  if (!fed) {
    ::close(in[0]);
    ::close(out[0]);
    ::close(out[1]);
    return run;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::vector<std::string> argvText{program};
  argvText.insert(argvText.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& argument : argvText) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    return run;
  }

  const auto killAt = std::chrono::steady_clock::now() + deadline;
  bool killed = false;
  for (;;) {
    pollfd readable{out[0], POLLIN, 0};
    if (::poll(&readable, 1, 100) > 0) {
      char buffer[4096];
      const ssize_t n = ::read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      run.out.append(buffer, static_cast<std::size_t>(n));
    } else if (!killed && std::chrono::steady_clock::now() > killAt) {
      ::kill(pid, SIGKILL);
      killed = true;
    }
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) && !killed ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace zembrel::test
