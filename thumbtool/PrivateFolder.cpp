#include "PrivateFolder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace thumbtool {

namespace {

// Removes name inside the folder open at parent: a file or link at once, a folder after its
// contents.
void removeTree(int parent, const char* name) {
  if (unlinkat(parent, name, 0) == 0 || errno == ENOENT) {
    return;
  }
  // A folder (links were removed above, so this follows none).
  fchmodat(parent, name, S_IRWXU, 0);
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  if (DIR* dir = fdopendir(fd)) {
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
        names.emplace_back(entry->d_name);
      }
    }
    for (const std::string& child : names) {
      removeTree(dirfd(dir), child.c_str());
    }
    closedir(dir);
  } else {
    close(fd);
  }
  unlinkat(parent, name, AT_REMOVEDIR);
}

}  // namespace

PrivateFolder::PrivateFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base == '/' ? base : "/tmp") + "/thumbtool-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) {
    path_ = buffer.data();
  }
}

PrivateFolder::~PrivateFolder() {
  if (!path_.empty()) {
    removeTree(AT_FDCWD, path_.c_str());
  }
}

}  // namespace thumbtool
