#include "zembrel/http/ResumeStore.hpp"

#include <fcntl.h>
#include <glib.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <map>
#include <memory>
#include <system_error>

#include "zembrel/platform/File.hpp"
#include "zembrel/platform/SystemLog.hpp"
#include "zembrel/platform/Url.hpp"

namespace zembrel::detail {
namespace {

constexpr std::string_view kHeaderLine = "zembrel-resume 1";
constexpr std::string_view kSuffix = ".entry";
// An entry is a few hundred bytes; anything larger is not one of ours.
constexpr std::int64_t kMaxEntryBytes = 64 * 1024;
// Looked at per expiry pass, so a folder filled by someone else cannot make
// every upload start slowly.
constexpr int kMaxEntriesScanned = 10000;

// Values are kept one per line: line breaks and "%" are escaped.
bool keptInLine(unsigned char c) { return c >= 0x20 && c != '%' && c != 0x7f; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const int high = i + 2 < text.size() && text[i] == '%' ? hexValue(text[i + 1]) : -1;
    const int low = high >= 0 ? hexValue(text[i + 2]) : -1;
    if (low >= 0) {
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string sha256Hex(std::string_view text) {
  std::unique_ptr<gchar, decltype(&g_free)> hex(
      g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(text.data()),
                                  text.size()),
      &g_free);
  return hex ? std::string(hex.get()) : std::string();
}

std::string serialize(const ResumeEntry& entry) {
  std::string text(kHeaderLine);
  text += '\n';
  auto line = [&text](std::string_view name, std::string_view value) {
    text += name;
    text += '=';
    text += percentEscape(value, &keptInLine);
    text += '\n';
  };
  line("file", entry.filePath);
  line("size", std::to_string(entry.file.size));
  line("modified-ns", std::to_string(entry.file.modifiedNs));
  line("changed-ns", std::to_string(entry.file.changedNs));
  line("device", std::to_string(entry.file.device));
  line("inode", std::to_string(entry.file.inode));
  line("digest", entry.file.digest);
  line("endpoint", entry.endpoint);
  line("upload", entry.uploadUrl);
  line("dialect", entry.dialect == ResumableDialect::Tus ? "tus" : "ietf-draft");
  line("expires", std::to_string(entry.expiresAt));
  return text;
}

std::optional<std::int64_t> parseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  const bool negative = text[0] == '-';
  auto count = parseByteCount(negative ? std::string_view(text).substr(1) : std::string_view(text));
  if (!count) return std::nullopt;
  return negative ? -*count : *count;
}

std::optional<std::uint64_t> parseUnsigned(const std::string& text) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

std::optional<ResumeEntry> parse(std::string_view text) {
  std::map<std::string, std::string> values;
  bool first = true;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (first) {
      if (line != kHeaderLine) return std::nullopt;
      first = false;
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    values[std::string(line.substr(0, equals))] = unescape(line.substr(equals + 1));
  }
  ResumeEntry entry;
  auto size = parseNumber(values["size"]);
  auto modified = parseNumber(values["modified-ns"]);
  auto changed = parseNumber(values["changed-ns"]);
  auto device = parseUnsigned(values["device"]);
  auto inode = parseUnsigned(values["inode"]);
  auto expires = parseNumber(values["expires"]);
  const std::string& dialect = values["dialect"];
  if (first || !size || !modified || !changed || !device || !inode || !expires ||
      values["file"].empty() || values["digest"].empty() ||
      values["endpoint"].empty() || values["upload"].empty() ||
      (dialect != "tus" && dialect != "ietf-draft"))
    return std::nullopt;
  entry.filePath = values["file"];
  entry.file = {*size, *modified, *changed, *device, *inode, values["digest"]};
  entry.endpoint = values["endpoint"];
  entry.uploadUrl = values["upload"];
  entry.dialect = dialect == "tus" ? ResumableDialect::Tus : ResumableDialect::IetfDraft;
  entry.expiresAt = *expires;
  return entry;
}

void logIgnored(const std::filesystem::path& path, const char* why) {
  systemLog("resumable upload state " + path.string() + " ignored: " + why);
}

// Why a folder or file of the store must not be trusted; null when it may.
// `othersMay` are the permission bits others may hold.
const char* distrustOf(const struct stat& info, mode_t othersMay) {
  if (info.st_uid != ::geteuid()) return "owned by another user";
  if ((info.st_mode & 077 & ~othersMay) != 0) return "open to other users";
  return nullptr;
}

// Opens an entry, never through a symbolic link, and only when it is a
// file of this user's that no one else may read or write.
std::optional<ResumeEntry> readEntry(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0) return std::nullopt;
  const char* why = S_ISREG(info.st_mode) ? distrustOf(info, 0) : "not a regular file";
  if (why) {
    logIgnored(path, why);
    return std::nullopt;
  }
  if (info.st_size > kMaxEntryBytes) return std::nullopt;
  std::string text(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t count = ::read(fd.get(), text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return std::nullopt;
    done += static_cast<std::size_t>(count);
  }
  return parse(text);
}

// Makes (with `create`) and checks one folder below an open parent: a real
// folder, not a link, of this user's, that others may at most enter and
// read (`othersMay`). With `tighten`, a folder of this user's that grants
// others more loses those rights instead. The open folder, or nothing after
// logging why.
FileDescriptor openOwnFolder(int parent, const std::filesystem::path& path, mode_t othersMay,
                             bool create, bool tighten) {
  const std::string name = path.filename().string();
  if (create && ::mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) return {};
  FileDescriptor fd(
      ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0) {
    if (errno == ELOOP || errno == ENOTDIR) logIgnored(path, "not a folder");
    return {};
  }
  const char* why = distrustOf(info, othersMay);
  if (why && tighten && info.st_uid == ::geteuid() &&
      ::fchmod(fd.get(), info.st_mode & 07777 & ~(077 & ~othersMay)) == 0) {
    systemLog("resumable upload state folder " + path.string() + " made private");
    why = nullptr;
  }
  if (why) {
    logIgnored(path, why);
    return {};
  }
  return fd;
}

}  // namespace

bool ResumeEntry::sameUpload(const ResumeEntry& other) const {
  return filePath == other.filePath && file == other.file && endpoint == other.endpoint;
}

std::optional<FileIdentity> identityOf(File& file) {
  struct stat info {};
  if (!file.isOpen() || ::fstat(file.descriptor(), &info) != 0) return std::nullopt;
  constexpr std::int64_t kEnd = 64 * 1024;
  const std::int64_t size = info.st_size;
  std::string ends(static_cast<std::size_t>(std::min(size, 2 * kEnd)), '\0');
  // The first 64 KiB, then the last (which overlap in a smaller file).
  const std::int64_t head = std::min(size, kEnd);
  const std::int64_t tail = static_cast<std::int64_t>(ends.size()) - head;
  if (file.readAt(ends.data(), static_cast<std::size_t>(head), 0) != head ||
      file.readAt(ends.data() + head, static_cast<std::size_t>(tail), size - tail) != tail)
    return std::nullopt;
  auto nanoseconds = [](const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
  };
  return FileIdentity{size,
                      nanoseconds(info.st_mtim),
                      nanoseconds(info.st_ctim),
                      static_cast<std::uint64_t>(info.st_dev),
                      static_cast<std::uint64_t>(info.st_ino),
                      sha256Hex(ends)};
}

bool ResumeStore::usable(bool create) const {
  // The folder's parent holds it: one that others may write lets them swap
  // the folder for their own.
  const std::filesystem::path parent = folder_.parent_path();
  std::error_code error;
  if (create) std::filesystem::create_directories(parent.parent_path(), error);
  FileDescriptor top(::open(parent.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!top) return false;
  // Earlier versions made the parent with the user's umask, which may let
  // the group write: it is made private rather than given up. Nothing of
  // another user's can be in the folder below, which is checked strictly.
  FileDescriptor middle = openOwnFolder(top.get(), parent, 055, create, true);
  if (!middle) return false;
  return static_cast<bool>(openOwnFolder(middle.get(), folder_, 0, create, false));
}

std::filesystem::path ResumeStore::defaultFolder() {
  std::filesystem::path base;
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && *state == '/') {
    base = state;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || *home != '/') {
      const passwd* user = ::getpwuid(::getuid());
      home = user ? user->pw_dir : "/";
    }
    base = std::filesystem::path(home) / ".local" / "state";
  }
  return base / "zembrel" / "uploads";
}

std::filesystem::path ResumeStore::entryPath(const std::string& filePath,
                                             const std::string& endpoint) const {
  // A digest, so that any path and URL make a short, safe file name.
  std::string key = filePath;
  key += '\0';
  key += endpoint;
  return folder_ / (sha256Hex(key) + std::string(kSuffix));
}

std::optional<ResumeEntry> ResumeStore::find(const std::string& filePath,
                                             const std::string& endpoint) const {
  if (!usable(false)) return std::nullopt;
  auto entry = readEntry(entryPath(filePath, endpoint));
  // A digest collision or an edited file must not hand out another's upload.
  if (!entry || entry->filePath != filePath || entry->endpoint != endpoint) return std::nullopt;
  return entry;
}

bool ResumeStore::save(const ResumeEntry& entry) const {
  // The folder holds upload URLs, which may carry credentials: ours alone.
  if (!usable(true)) return false;
  const std::filesystem::path target = entryPath(entry.filePath, entry.endpoint);
  std::string temp = target.string() + ".XXXXXX";
  FileDescriptor fd(::mkostemp(temp.data(), O_CLOEXEC));  // created with mode 0600
  if (!fd) return false;
  const std::string text = serialize(entry);
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = ::write(fd.get(), text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    written += static_cast<std::size_t>(count);
  }
  // Renamed only once its bytes are on disk, so a crash leaves the old entry
  // or the new one, never a torn one.
  const bool complete = written == text.size() && ::fsync(fd.get()) == 0;
  fd = FileDescriptor();
  if (!complete || ::rename(temp.c_str(), target.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

void ResumeStore::remove(const std::string& filePath, const std::string& endpoint) const {
  ::unlink(entryPath(filePath, endpoint).c_str());
}

int ResumeStore::removeExpired(std::int64_t now) const {
  if (!usable(false)) return 0;
  std::error_code error;
  std::filesystem::directory_iterator it(folder_, error);
  if (error) return 0;
  int removed = 0;
  int scanned = 0;
  // The throwing increment would end a caller's operation on a read error
  // of the folder; this one just ends the sweep.
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (error || ++scanned > kMaxEntriesScanned) break;
    const std::filesystem::path path = it->path();
    const std::string name = path.filename().string();
    bool drop = false;
    if (name.size() > kSuffix.size() && name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0) {
      const auto entry = readEntry(path);
      drop = !entry || entry->expiresAt < now;
    } else if (name.find(std::string(kSuffix) + ".") != std::string::npos) {
      // A temporary file left by a write that was cut off: old ones go.
      struct stat info {};
      drop = ::lstat(path.c_str(), &info) == 0 && info.st_mtime < now - 24 * 3600;
    }
    if (drop && ::unlink(path.c_str()) == 0) ++removed;
  }
  return removed;
}

}  // namespace zembrel::detail
