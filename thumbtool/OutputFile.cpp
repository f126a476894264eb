#include "OutputFile.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

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

// A random name in the folder, for the new picture: ".thumbtool-" and eight letters or digits.
bool randomName(const std::string& folder, std::string& name) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[8];
  if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    return false;
  }
  name = folder + "/.thumbtool-";
  for (unsigned char byte : random) {
    name += kLetters[byte % (sizeof kLetters - 1)];
  }
  return true;
}

// The new picture's file while it is written. Where the file system allows, it has no name at
// all until it is complete (a run killed meanwhile leaves nothing behind); elsewhere it has a
// random name from the start, created exclusively.
struct NewFile {
  int fd = -1;
  bool unnamed = false;
  std::string name;  // once it has one
};

// Private until the mode it is to have is set: no one opens it while it is written.
NewFile createNewFile(const std::string& folder) {
  NewFile file;
  file.fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (file.fd >= 0) {
    file.unnamed = true;
    return file;
  }
  for (int attempt = 0; attempt < 100 && randomName(folder, file.name); ++attempt) {
    file.fd = open(file.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file.fd >= 0 || errno != EEXIST) {
      return file;
    }
  }
  return file;
}

// Gives an unnamed file a random name in the folder, through its /proc name (which needs no
// privilege) or else the descriptor itself.
bool nameNewFile(NewFile& file, const std::string& folder) {
  const std::string self = "/proc/self/fd/" + std::to_string(file.fd);
  for (int attempt = 0; attempt < 100 && randomName(folder, file.name); ++attempt) {
    if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, file.name.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
        (errno != EEXIST && linkat(file.fd, "", AT_FDCWD, file.name.c_str(), AT_EMPTY_PATH) == 0)) {
      return true;
    }
    if (errno != EEXIST) {
      break;
    }
  }
  file.name.clear();
  return false;
}

// Holds every signal that may be caught while the picture's file has a name but is not yet in
// place: a handler could end the process between the two. (Only SIGKILL remains, for the span
// of two system calls.)
class CatchableSignalsHeld {
 public:
  CatchableSignalsHeld() {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous_);
  }
  ~CatchableSignalsHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  CatchableSignalsHeld(const CatchableSignalsHeld&) = delete;
  CatchableSignalsHeld& operator=(const CatchableSignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

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
  const std::string folder = folderOf(path);
  NewFile file = createNewFile(folder);
  if (file.fd < 0) {
    return false;
  }
  bool written = writeAll(file.fd, bytes.data(), bytes.size()) &&
                 takeOverMode(file.fd, replacesFile ? &existing : nullptr, readers);
  CatchableSignalsHeld held;
  written = written && (!file.unnamed || nameNewFile(file, folder));
  written = close(file.fd) == 0 && written;
  if (!written || rename(file.name.c_str(), path.c_str()) != 0) {
    if (!file.name.empty()) {
      unlink(file.name.c_str());
    }
    return false;
  }
  return true;
}

}  // namespace thumbtool
