#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <variant>

#include "zembrel/Export.hpp"

namespace zembrel {

// Depth of a tree listing: absent, a number, or a decimal text (read as its
// leading integer, like "3" or " 2 levels"). Anything above 5 counts as 5; 0,
// negative values and texts without a number list the top directory only.
using FtpLevel = std::variant<std::monostate, long long, std::string>;

// Process-wide requests to stop FTP work, shared by every instance (0 or 1).
// cancelUpload: the running upload ends as cancelled (set by
//   cancelFTPOperation or closeFTPConnection while an upload runs).
// closeConnection: after that cancelled upload, the easy handle is destroyed.
// abortOperation: the next reply line stops whatever FTP operation receives it;
//   a tree listing or a directory creation reports it and clears it.
// A request made on one instance acts on whichever transfer reads it next.
ZEMBREL_API extern std::atomic<int> cancelUpload;
ZEMBREL_API extern std::atomic<int> closeConnection;
ZEMBREL_API extern std::atomic<int> abortOperation;

// libcurl callbacks of the FTP operations. They never throw.
// Read function of an upload; `record` is the upload's transfer record.
ZEMBREL_API std::size_t curlReadCallback(char* buffer, std::size_t size, std::size_t nitems,
                                         void* record) noexcept;
// Header function of every FTP operation; `instance` is the Zembrel. Records
// the server's reply lines on it.
ZEMBREL_API std::size_t curlHeaderCallback(char* line, std::size_t size, std::size_t nitems,
                                           void* instance) noexcept;
// Write function of a directory listing; `instance` is the Zembrel. Cuts the
// listing text into lines and adds one entry per line the LIST parser accepts.
ZEMBREL_API std::size_t curlListingWriteCallback(char* data, std::size_t size, std::size_t nitems,
                                                 void* instance) noexcept;

}  // namespace zembrel
