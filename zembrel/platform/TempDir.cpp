#include "zembrel/platform/TempDir.hpp"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "zembrel/platform/Handles.hpp"

namespace zembrel::detail {

std::optional<std::filesystem::path> privateTempDirUnder(const std::filesystem::path& parent) {
  const uid_t uid = ::geteuid();
  std::filesystem::path dir = parent / ("zembrel-" + std::to_string(uid));
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;

  // lstat, not stat: a symbolic link planted under our name is refused.
  struct stat info {};
  if (::lstat(dir.c_str(), &info) != 0) return std::nullopt;
  if (!S_ISDIR(info.st_mode) || info.st_uid != uid) return std::nullopt;
  if ((info.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) return std::nullopt;
  return dir;
}

std::optional<std::filesystem::path> privateTempDir() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::filesystem::path parent = (tmpdir && *tmpdir) ? tmpdir : "/tmp";
  return privateTempDirUnder(parent);
}

std::string uniqueString() { return takeGString(g_uuid_string_random()); }

FileDescriptor createFreshFile(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return FileDescriptor();
  return FileDescriptor(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
}

bool writeAll(int fd, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace zembrel::detail
