#include "AccountFiles.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace thumbtool {

namespace {

// Larger account files (or an nsswitch.conf) are left to the name service.
constexpr off_t kMaxFileBytes = 64L << 20;

// Where the service manager's module finds user and group records besides the few it makes up
// itself (root, nobody, and dynamic users far below the run ids): services it asks over sockets,
// and record files. With none of them, the module knows no run id.
constexpr const char* kUserRecordPlaces[] = {
    "/run/systemd/userdb", "/etc/userdb",           "/run/userdb",
    "/run/host/userdb",    "/usr/local/lib/userdb", "/usr/lib/userdb",
};

// The whole file, or nothing (errno set) when it cannot be read or is too large.
std::optional<std::string> readWhole(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return std::nullopt;
  }
  std::optional<std::string> text;
  struct stat info {};
  if (fstat(fd, &info) == 0 && info.st_size <= kMaxFileBytes) {
    // One more byte than its size: a file that grew meanwhile is still read to its end.
    std::string buffer(static_cast<std::size_t>(info.st_size) + 1, '\0');
    std::size_t done = 0;
    for (;;) {
      if (done == buffer.size()) {
        if (buffer.size() > static_cast<std::size_t>(kMaxFileBytes)) {
          errno = EFBIG;  // still growing: left to the name service
          break;
        }
        buffer.resize(buffer.size() * 2);
      }
      ssize_t n = read(fd, buffer.data() + done, buffer.size() - done);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        if (n == 0) {
          buffer.resize(done);
          text = std::move(buffer);
        }
        break;
      }
      done += static_cast<std::size_t>(n);
    }
  } else {
    errno = EFBIG;
  }
  int error = errno;
  close(fd);
  errno = error;
  return text;
}

// The next line of the text (without its line feed), taken off its front.
std::string_view takeLine(std::string_view& rest) {
  std::size_t end = rest.find('\n');
  std::string_view line = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  return line;
}

// Whether the text starts with the word, in any letter case (as the C library reads database
// names).
bool startsWithWord(std::string_view text, std::string_view word) {
  return text.size() >= word.size() && strncasecmp(text.data(), word.data(), word.size()) == 0;
}

bool serviceManagerKnowsNoRunIds() {
  struct stat info {};
  for (const char* place : kUserRecordPlaces) {
    if (lstat(place, &info) == 0 || errno != ENOENT) {
      return false;
    }
  }
  return true;
}

// The file's entries are name:password:id:...; any entry whose third field reads as the id.
bool fileNames(const char* path, unsigned long id) {
  std::optional<std::string> text = readWhole(path);
  if (!text) {
    return errno != ENOENT;  // a missing file names nothing
  }
  std::string_view rest(*text);
  while (!rest.empty()) {
    std::string_view line = takeLine(rest);
    std::size_t first = line.find(':');
    std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) {
      continue;
    }
    // The digits are followed by ':' or the line's end, never read past: strtoul stops at the
    // first character that is not a digit, and the copy bounds it.
    std::string field(line.substr(second + 1, line.find(':', second + 1) - second - 1));
    char* digitsEnd = nullptr;
    unsigned long value = std::strtoul(field.c_str(), &digitsEnd, 10);
    if (digitsEnd != field.c_str() && value == id) {
      return true;
    }
  }
  return false;
}

bool askNameService(AccountDatabase database, unsigned long id) {
  return database == AccountDatabase::users ? getpwuid(static_cast<uid_t>(id)) != nullptr
                                            : getgrgid(static_cast<gid_t>(id)) != nullptr;
}

}  // namespace

bool resolvedFromFilesOnly(const char* nsswitchText, AccountDatabase database) {
  const std::string_view key = database == AccountDatabase::users ? "passwd" : "group";
  bool seen = false;
  std::string_view rest(nsswitchText);
  while (!rest.empty()) {
    std::string_view line = takeLine(rest);
    line = line.substr(0, line.find('#'));
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos || !startsWithWord(line.substr(start), key)) {
      continue;
    }
    line.remove_prefix(start + key.size());
    std::size_t colon = line.find_first_not_of(" \t");
    if (colon == std::string_view::npos || line[colon] != ':') {
      continue;  // another database whose name starts the same way
    }
    line.remove_prefix(colon + 1);
    // Every source must be one of ours; actions ([NOTFOUND=return] and the like) and any other
    // module hand the answer to something this reader does not know.
    bool any = false;
    while (!line.empty()) {
      std::size_t from = line.find_first_not_of(" \t\r");
      if (from == std::string_view::npos) {
        break;
      }
      line.remove_prefix(from);
      std::string_view source = line.substr(0, line.find_first_of(" \t\r"));
      line.remove_prefix(source.size());
      if (source != "files" && source != "systemd") {
        return false;
      }
      if (source == "systemd" && !serviceManagerKnowsNoRunIds()) {
        return false;
      }
      any = true;
    }
    if (!any) {
      return false;  // an empty list means the built-in default
    }
    seen = true;
  }
  return seen;
}

bool accountsUseId(unsigned long id, const AccountFiles& files) {
  std::optional<std::string> nsswitch = readWhole(files.nsswitch);
  for (AccountDatabase database : {AccountDatabase::users, AccountDatabase::groups}) {
    bool named =
        nsswitch && resolvedFromFilesOnly(nsswitch->c_str(), database)
            ? fileNames(database == AccountDatabase::users ? files.passwd : files.group, id)
            : askNameService(database, id);
    if (named) {
      return true;
    }
  }
  return false;
}

}  // namespace thumbtool
