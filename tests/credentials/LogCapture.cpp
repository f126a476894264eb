#include "LogCapture.hpp"

#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zembrel::test {

LogCapture::LogCapture() {
  char pattern[] = "/tmp/zembrel-log-XXXXXX";
  const int fd = ::mkstemp(pattern);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  path_ = pattern;
  std::fflush(stderr);
  savedStderr_ = ::dup(STDERR_FILENO);
  ::dup2(fd, STDERR_FILENO);
  ::close(fd);
}

LogCapture::~LogCapture() { (void)text(); }

std::string LogCapture::text() {
  if (savedStderr_ < 0) return {};
  std::fflush(stderr);
  ::dup2(savedStderr_, STDERR_FILENO);
  ::close(savedStderr_);
  savedStderr_ = -1;
  std::ifstream in(path_, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  ::unlink(path_.c_str());
  return bytes.str();
}

std::string uniqueName(const std::string& prefix) {
  gchar* uuid = g_uuid_string_random();
  std::string name = prefix + "-" + uuid;
  g_free(uuid);
  return name;
}

}  // namespace zembrel::test
