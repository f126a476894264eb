#pragma once

// The reply-line callback that every FTP transfer installs. Hidden in the
// shared library; tests link the archive.

#include <cstddef>

namespace zembrel::detail {

// Header function of every FTP operation; `scope` is an FtpReplyScope.
// Records the server's reply lines, and stops the transfer at the next line
// once the operation was cancelled. Never throws.
std::size_t curlHeaderCallback(char* line, std::size_t size, std::size_t nitems,
                               void* scope) noexcept;

}  // namespace zembrel::detail
