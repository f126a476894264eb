#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "zembrel/http/ResumableProtocol.hpp"

namespace zembrel::detail {

// Where an unfinished resumable upload of a file can be continued: kept on
// disk so that a later process resumes it after a kill or a reboot.
struct ResumeEntry {
  std::string filePath;  // absolute
  std::int64_t fileSize = 0;
  std::int64_t modifiedNs = 0;  // the file's modification time, ns since 1970
  std::string endpoint;
  std::string uploadUrl;
  ResumableDialect dialect = ResumableDialect::Tus;
  std::int64_t expiresAt = 0;  // seconds since 1970; the entry is dropped after

  // Whether the entry is for this very file (path, size, time) and endpoint.
  bool sameUpload(const ResumeEntry& other) const;
};

// One file per (file path, endpoint) pair in a private folder, each written
// whole or not at all (a new file renamed over the old). Entries past their
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
  std::filesystem::path folder_;
};

}  // namespace zembrel::detail
