#include "OutputFile.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "WriteAll.hpp"

namespace thumbtool {

namespace {

std::string folderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A name no one else uses in the folder, created exclusively; -1 when none could be made.
int createTemporary(const std::string& folder, std::string& name) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[8];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
      return -1;
    }
    name = folder + "/.thumbtool-";
    for (unsigned char byte : random) {
      name += kLetters[byte % (sizeof kLetters - 1)];
    }
    // Private until the mode it is to have is set: no one opens it while it is written.
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  return -1;
}

// The mode (and owner, where this process may give it and that owner may read the document)
// of the file being replaced, or of a new file (0666 less the umask). Set-id bits are not
// carried over.
bool takeOverMode(int fd, const struct stat* replaced, const PictureReaders& readers) {
  if (replaced == nullptr) {
    mode_t mask = umask(0);
    umask(mask);
    return fchmod(fd, 0666 & ~mask & readers.allowed) == 0;
  }
  bool theirs = replaced->st_uid != geteuid() || replaced->st_gid != getegid();
  if (theirs && (readers.anyone || replaced->st_uid == readers.owner)) {
    // Not permitted for most callers; the mode below still keeps the picture as private.
    static_cast<void>(fchown(fd, replaced->st_uid, replaced->st_gid));
  }
  return fchmod(fd, replaced->st_mode & 0777 & readers.allowed) == 0;
}

}  // namespace

PictureReaders readersOf(const std::string& source) {
  struct stat document {};
  if (source.empty() || stat(source.c_str(), &document) != 0 || !S_ISREG(document.st_mode)) {
    return {};
  }
  PictureReaders readers{S_IRWXU, (document.st_mode & S_IROTH) != 0, document.st_uid};
  // Whoever may read it as "others" may, whatever their group.
  if ((document.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    readers.allowed |= S_IRWXG;
  }
  if (readers.anyone) {
    readers.allowed |= S_IRWXO;
  }
  return readers;
}

bool replaceFile(const std::string& path, const Bytes& bytes, const PictureReaders& readers) {
  struct stat existing {};
  bool exists = !path.empty() && lstat(path.c_str(), &existing) == 0;
  if (path.empty() || (exists && !S_ISREG(existing.st_mode) && !S_ISLNK(existing.st_mode))) {
    return false;
  }
  bool replacesFile = exists && S_ISREG(existing.st_mode);
  std::string temporary;
  int fd = createTemporary(folderOf(path), temporary);
  if (fd < 0) {
    return false;
  }
  bool written = writeAll(fd, bytes.data(), bytes.size()) &&
                 takeOverMode(fd, replacesFile ? &existing : nullptr, readers);
  written = close(fd) == 0 && written;
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace thumbtool
