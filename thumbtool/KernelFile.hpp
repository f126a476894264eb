// Small kernel files (/proc, /sys) read in one call, without stdio: the run user's checks read
// several for every process on the system.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace thumbtool {

// The start of a small kernel file (at most size - 1 bytes), ended by a NUL; its length, or -1
// with errno set when it cannot be opened or read.
inline ssize_t readStart(int folder, const char* path, char* text, std::size_t size) {
  int fd = openat(folder, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  ssize_t length = read(fd, text, size - 1);
  int error = errno;
  close(fd);
  text[length > 0 ? length : 0] = '\0';
  errno = error;
  return length;
}

}  // namespace thumbtool
