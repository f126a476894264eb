#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Subprocess.hpp"

namespace zembrel::test {

// A real server run as a child process of the test: started from a command
// line, it binds 127.0.0.1 on a free port itself and prints the port as its
// first line on stdout. Stopped by PID (SIGTERM, then SIGKILL after 5 s) and
// reaped when the object goes.
class ServerProcess {
 public:
  explicit ServerProcess(std::vector<std::string> argv);
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  ~ServerProcess() { stop(); }

  int port() const { return port_; }
  pid_t pid() const { return child_.pid(); }
  void stop() { child_.stop(); }

 private:
  Subprocess child_;
  int port_ = 0;
};

// A private folder removed with everything in it when the object goes.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  ~ScopedTempDir();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Where the servers' scripts live (the source tree's tests/servers).
std::filesystem::path serversDir();

// A port on 127.0.0.1 that refuses every connection for the life of the
// process: a socket of the test process holds it bound and never listens, so
// no other program (another suite run beside this one) can take it.
int closedPort();

// A peer on 127.0.0.1 that accepts connections (the kernel does, into its
// backlog) and never says a word, for the life of the object.
class SilentServer {
 public:
  SilentServer();
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  ~SilentServer();
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);

}  // namespace zembrel::test
