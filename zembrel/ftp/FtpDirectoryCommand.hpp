#pragma once

#include <string>

#include "zembrel/core/Outcome.hpp"
#include "zembrel/ftp/FtpConnection.hpp"
#include "zembrel/ftp/FtpReplies.hpp"
#include "zembrel/platform/TransferPolicy.hpp"

namespace zembrel::detail {

class CancelToken;

// The URL splits into a base and a path: a directory command can be sent.
bool canRunDirectoryCommand(const std::string& url);

// MKD (make) or RMD of the URL's path relative to the login directory (SFTP:
// mkdir or rmdir of the URL's path), on the connection it was lent. Ends in
// the last reply (or libcurl's error), or cancelled.
Outcome runDirectoryCommand(FtpConnection::Lease& lease, FtpReplyRecord& replies,
                            const CancelToken& token, const std::string& url, bool make,
                            const TransferSettings& settings = {});

}  // namespace zembrel::detail
