#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "zembrel/platform/File.hpp"

namespace zembrel::detail {

class CancelToken;

// Progress record of one upload, the read callback's user data. Lives on the
// worker thread from the start of the transfer to its end; owns the file.
struct CurlInfo {
  const CancelToken* token;  // the upload's; a cancel ends the reading
  File file;                 // the local file, a regular file opened for reading
  std::uint64_t totalBytes;  // size of the file (links followed) when it was opened
  std::uint64_t bytesRead = 0;  // bytes handed to libcurl so far
  // Set when reading the local file failed or it changed size: what the
  // final message reports instead of the server's last reply.
  std::optional<std::string> localFailure;
  int localFailureCode = 0;
  // The failure is the server's copy's, not the local file's (a resume
  // found or left a server file that does not match it).
  bool serverCopyFault = false;
  // Where progress goes; null: the host's messages.
  const std::function<void(std::uint64_t bytes)>* progress = nullptr;
};

// Read function of an upload; `record` is its CurlInfo. Sends a progress
// message from the calling (worker) thread after each block.
std::size_t curlReadCallback(char* buffer, std::size_t size, std::size_t nitems,
                             void* record) noexcept;
// Seek function of a resumed upload (libcurl's curl_seek_callback): moves the
// file to the offset where the server's file ends, counts the bytes before it
// as read and reports them as progress. An offset past the file's size means
// the server holds another file: the upload fails.
int curlSeekCallback(void* record, std::int64_t offset, int origin) noexcept;

// Notes in the record when the file no longer holds the size being sent
// (grew or shrank); true when it did.
bool noteSizeChange(CurlInfo& info);

}  // namespace zembrel::detail
