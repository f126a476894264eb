#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace zembrel::test {

// A socket that accepts connections and never says a word: a session bus that
// hangs in the middle of the handshake.
class SilentBus {
 public:
  explicit SilentBus(const std::filesystem::path& path) : address_("unix:path=" + path.string()) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.string().copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd_, 64), 0);
  }
  SilentBus(const SilentBus&) = delete;
  SilentBus& operator=(const SilentBus&) = delete;
  ~SilentBus() { ::close(fd_); }

  // The D-Bus address that leads here.
  const std::string& address() const { return address_; }

 private:
  int fd_ = -1;
  std::string address_;
};

}  // namespace zembrel::test
