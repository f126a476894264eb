#include "SourceFile.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace thumbtool {

namespace {

// File systems whose files are made up by the kernel: their sizes mean nothing and reading
// them may block (/proc/kmsg) or have effects.
bool isPseudoFileSystem(int fd) {
  struct statfs info {};
  if (fstatfs(fd, &info) != 0) {
    return false;
  }
  switch (static_cast<unsigned long>(info.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case PSTOREFS_MAGIC:
    case EFIVARFS_MAGIC:
      return true;
    default:
      return false;
  }
}

// The file behind the handle, open for reading: reopened through the handle where /proc is
// mounted, so it is the same file whatever the path means by now; elsewhere by its path, kept
// only if it is still the same file and still a regular one.
FileDescriptor openForReading(int handle, const std::string& path, const struct stat& inspected) {
  std::string self = "/proc/self/fd/" + std::to_string(handle);
  FileDescriptor file(open(self.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
  if (file.valid() || errno != ENOENT) {
    return file;
  }
  file = FileDescriptor(open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  struct stat opened {};
  if (file.valid() && fstat(file.get(), &opened) == 0 && S_ISREG(opened.st_mode) &&
      opened.st_dev == inspected.st_dev && opened.st_ino == inspected.st_ino) {
    return file;
  }
  return FileDescriptor();
}

}  // namespace

std::string absolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') {
    return path;
  }
  std::vector<char> buffer(4096);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) {
      return path;
    }
    buffer.resize(buffer.size() * 2);
  }
  std::string folder = buffer.data();
  return folder == "/" ? "/" + path : folder + "/" + path;
}

Source inspectSource(const std::string& path) {
  Source source;
  source.path = absolutePath(path);
  // A handle on the file itself, with no effect on it whatever it is.
  FileDescriptor handle(source.path.empty() ? -1 : open(source.path.c_str(), O_PATH | O_CLOEXEC));
  struct stat info {};
  if (!handle.valid() || fstat(handle.get(), &info) != 0) {
    return source;
  }
  source.kind = SourceKind::special;
  if (S_ISDIR(info.st_mode)) {
    source.specialType = "inode/directory";
  } else if (S_ISFIFO(info.st_mode)) {
    source.specialType = "inode/fifo";
  } else if (S_ISCHR(info.st_mode)) {
    source.specialType = "inode/chardevice";
  } else if (S_ISBLK(info.st_mode)) {
    source.specialType = "inode/blockdevice";
  } else if (S_ISSOCK(info.st_mode)) {
    source.specialType = "inode/socket";
  } else if (S_ISREG(info.st_mode) && !isPseudoFileSystem(handle.get())) {
    source.file = openForReading(handle.get(), source.path, info);
    // One that cannot be read gets the icon its name suggests.
    source.kind = source.file.valid() ? SourceKind::document : SourceKind::special;
  }
  // A kernel pseudo-file stays special, with the icon its name suggests.
  return source;
}

}  // namespace thumbtool
