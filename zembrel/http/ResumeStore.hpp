#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "zembrel/http/ResumableProtocol.hpp"

namespace zembrel::detail {

class File;

// What tells one version of a local file from another. Name, size and
// modification time are not enough: cp -p, rsync -t, tar x and editors that
// keep the time make another file that has them all.
struct FileIdentity {
  std::int64_t size = 0;
  std::int64_t modifiedNs = 0;  // modification time, ns since 1970
  std::int64_t changedNs = 0;   // status change time, ns since 1970: no copy keeps it
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::string digest;  // SHA-256 hex of the first and the last 64 KiB

  bool operator==(const FileIdentity&) const = default;
};

// The identity of an open file, from its descriptor; absent when it cannot
// be read.
std::optional<FileIdentity> identityOf(File& file);

// Where an unfinished resumable upload of a file can be continued: kept on
// disk so that a later process resumes it after a kill or a reboot.
struct ResumeEntry {
  std::string filePath;  // absolute
  FileIdentity file;
  std::string endpoint;
  std::string uploadUrl;
  ResumableDialect dialect = ResumableDialect::Tus;
  std::int64_t expiresAt = 0;  // seconds since 1970; the entry is dropped after

  // Whether the entry is for this very file (path and identity) and endpoint.
  bool sameUpload(const ResumeEntry& other) const;
};

// One file per (file path, endpoint) pair in a private folder, each written
// whole or not at all (a new file renamed over the old). A folder or entry
// that is not the user's own, or that others may open (or, for the folder's
// parent, write), is ignored and logged: another local user could otherwise
// send the user's upload, and its credentials, where they chose. Entries past their
// time are removed by removeExpired(). Used on one thread at a time; two
// processes uploading the same file to the same endpoint at once share the
// entry, and the later write wins.
class ResumeStore {
 public:
  // $XDG_STATE_HOME/zembrel/uploads, or ~/.local/state/zembrel/uploads where
  // XDG_STATE_HOME is unset, empty or not absolute.
  static std::filesystem::path defaultFolder();

  explicit ResumeStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

  // The entry kept for this file path and endpoint, whatever the file's size
  // and time it was written for; absent when none can be read.
  std::optional<ResumeEntry> find(const std::string& filePath, const std::string& endpoint) const;
  // Writes the entry, replacing the one for its path and endpoint. False when
  // it could not be written (the upload then just cannot resume later).
  bool save(const ResumeEntry& entry) const;
  void remove(const std::string& filePath, const std::string& endpoint) const;
  // Removes every entry whose time is past `now` (seconds since 1970), and
  // any that cannot be read. Returns how many went.
  int removeExpired(std::int64_t now) const;

  std::filesystem::path entryPath(const std::string& filePath, const std::string& endpoint) const;

 private:
  // Whether the folder may be used (made first, with `create`): see above.
  bool usable(bool create) const;

  std::filesystem::path folder_;
};

}  // namespace zembrel::detail
