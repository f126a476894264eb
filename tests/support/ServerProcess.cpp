#include "ServerProcess.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zembrel::test {

ServerProcess::ServerProcess(std::vector<std::string> argv) : child_(argv) {
  // The first line is the port; the server prints it only once bound. Its
  // later output is not read.
  const std::string line = child_.readLine();
  child_.closeOutput();
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) {
    child_.stop();
    const std::string& name = argv[argv.size() > 1 ? 1 : 0];
    throw std::runtime_error("server " + name + " did not report a port: '" + line + "'");
  }
}

ScopedTempDir::ScopedTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zembrel-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path serversDir() { return ZEMBREL_TEST_SERVERS_DIR; }

int closedPort() {
  static const int port = [] {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ::close(fd);
      throw std::runtime_error("cannot bind a port on 127.0.0.1");
    }
    // The descriptor stays open, unlistened, until the process ends.
    return static_cast<int>(ntohs(address.sin_port));
  }();
  return port;
}

SilentServer::SilentServer() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd_, 8) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd_);
    throw std::runtime_error("no silent server");
  }
  port_ = ntohs(address.sin_port);
}

SilentServer::~SilentServer() { ::close(fd_); }

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace zembrel::test
