#include "SourceFile.hpp"

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
bool isPseudoFileSystem(const std::string& path) {
  struct statfs info {};
  if (statfs(path.c_str(), &info) != 0) {
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
  struct stat info {};
  if (source.path.empty() || stat(source.path.c_str(), &info) != 0) {
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
  } else if (S_ISREG(info.st_mode) && !isPseudoFileSystem(source.path)) {
    source.kind = SourceKind::document;
  }
  // A kernel pseudo-file stays special, with the icon its name suggests.
  return source;
}

}  // namespace thumbtool
