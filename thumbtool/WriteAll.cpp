#include "WriteAll.hpp"

#include <unistd.h>

#include <cerrno>

namespace thumbtool {

bool writeAll(int fd, const void* data, std::size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = write(fd, bytes + done, length - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace thumbtool
