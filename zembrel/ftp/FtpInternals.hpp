#pragma once

// The FTP machinery that libcurl and the tests reach but hosts never call:
// the process-wide stop requests, the libcurl callbacks, and the instance's
// internal steps. Hidden in the shared library; tests link the archive.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zembrel/Zembrel.hpp"

namespace zembrel {

// Process-wide requests to stop FTP work, shared by every instance (0 or 1).
// cancelUpload: the running upload ends as cancelled (set by
//   cancelFTPOperation or closeFTPConnection while an upload runs).
// closeConnection: after that cancelled upload, the easy handle is destroyed.
// abortOperation: the next reply line stops whatever FTP operation receives it;
//   a tree listing or a directory creation reports it and clears it.
// A request made on one instance acts on whichever transfer reads it next.
extern std::atomic<int> cancelUpload;
extern std::atomic<int> closeConnection;
extern std::atomic<int> abortOperation;

// libcurl callbacks of the FTP operations. They never throw.
// Read function of an upload; `record` is the upload's transfer record.
std::size_t curlReadCallback(char* buffer, std::size_t size, std::size_t nitems,
                             void* record) noexcept;
// Header function of every FTP operation; `instance` is the Zembrel. Records
// the server's reply lines on it.
std::size_t curlHeaderCallback(char* line, std::size_t size, std::size_t nitems,
                               void* instance) noexcept;
// Write function of a directory listing; `instance` is the Zembrel. Cuts the
// listing text into lines and adds one entry per line the LIST parser accepts.
std::size_t curlListingWriteCallback(char* data, std::size_t size, std::size_t nitems,
                                     void* instance) noexcept;

namespace detail {

// The instance's internal FTP steps (private members of Zembrel), for the
// callbacks above and for tests. Each forwards to the member of that name.
struct FtpSteps {
  static void setLastFTPCode(Zembrel& instance, std::int32_t code,
                             std::optional<std::string> andDescription) {
    instance.setLastFTPCode(code, std::move(andDescription));
  }
  static void createDictOfPath(Zembrel& instance, std::string_view name, std::int32_t andDirFlag) {
    instance.createDictOfPath(name, andDirFlag);
  }
  static void beginDirectoryList(Zembrel& instance) { instance.beginDirectoryList(); }
  static bool takeListingBlock(Zembrel& instance, std::string_view block) {
    return instance.takeListingBlock(block);
  }
  static bool ftpOperationStopped(const Zembrel& instance) {
    return instance.ftpOperationStopped();
  }
  static std::vector<FtpEntry> endDirectoryList(Zembrel& instance, bool transferCompleted) {
    return instance.endDirectoryList(transferCompleted);
  }
};

}  // namespace detail
}  // namespace zembrel
