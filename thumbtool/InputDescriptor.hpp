// The document as a render worker holds it: an open descriptor. Libraries that only take file
// names get its /proc/self/fd name where this process may open it by that name; a worker that
// root started runs as an unprivileged user, and reopening checks the file's permissions again,
// so a file only root may read is read through the descriptor itself. Header-only: the modules
// use it too.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>

namespace thumbtool {

inline std::string descriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The name to open the descriptor's file by, when opening it that way is allowed.
inline std::optional<std::string> openablePath(int fd) {
  std::string path = descriptorPath(fd);
  return access(path.c_str(), R_OK) == 0 ? std::optional<std::string>(path) : std::nullopt;
}

// Up to length bytes from offset, fewer only at the end of the file or on an error.
inline std::size_t readAt(int fd, void* buffer, std::size_t length, off_t offset) {
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = pread(fd, static_cast<char*>(buffer) + done, length - done,
                      offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  return done;
}

}  // namespace thumbtool
