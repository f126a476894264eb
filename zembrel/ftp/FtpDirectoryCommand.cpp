// Creation and removal of a directory: one command after login.

#include "zembrel/ftp/FtpDirectoryCommand.hpp"

#include <curl/curl.h>

#include "zembrel/Zembrel.hpp"
#include "zembrel/core/CancelToken.hpp"
#include "zembrel/ftp/FtpInternals.hpp"
#include "zembrel/ftp/FtpTransfer.hpp"
#include "zembrel/platform/Handles.hpp"

namespace zembrel::detail {
namespace {

// An SFTP URL's path is absolute, as libcurl reads it ("/~/" starts in the
// login directory): the command names the same directory as an upload to that
// URL would. Quoted, so that blanks and quotes in names stay in the name.
std::string sftpDirectoryCommand(bool make, const std::string& relative) {
  std::string path = relative == "~" || relative.starts_with("~/") ? relative : "/" + relative;
  std::string quoted;
  for (const char c : path) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return std::string(make ? "mkdir \"" : "rmdir \"") + quoted + '"';
}

void setCommandOptions(CURL* easy, const std::string& base, bool make, bool sftp,
                       curl_slist* commands, FtpReplyScope& scope, const CancelToken& token,
                       const TransferSettings& settings) {
  applyFtpTransferPolicy(easy, base, &token, settings);
  if (make) curl_easy_setopt(easy, CURLOPT_DIRLISTONLY, 0L);
  curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(easy, CURLOPT_VERBOSE, 0L);
  if (make) {
    curl_easy_setopt(easy, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
    curl_easy_setopt(easy, CURLOPT_FTP_CREATE_MISSING_DIRS, 1L);
  }
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &curlHeaderCallback);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &scope);
  // Over FTP the command goes after libcurl has taken a reused connection
  // back to the login directory (it does that after the pre-transfer
  // commands), so the path names a folder below the login directory even
  // when a listing left the connection elsewhere.
  curl_easy_setopt(easy, sftp ? CURLOPT_QUOTE : CURLOPT_POSTQUOTE, commands);
}

}  // namespace

bool canRunDirectoryCommand(const std::string& url) {
  return Zembrel::relativePathFromURLString(url) && Zembrel::basePathFromURLString(url);
}

Outcome runDirectoryCommand(FtpConnection::Lease& lease, FtpReplyRecord& replies,
                            const CancelToken& token, const std::string& url, bool make,
                            const TransferSettings& settings) {
  const std::string relative = Zembrel::relativePathFromURLString(url).value_or("");
  const std::string base = Zembrel::basePathFromURLString(url).value_or("");
  const bool sftp = ftpSecurityOf(url) == FtpSecurity::Ssh;
  const std::string command =
      sftp ? sftpDirectoryCommand(make, relative) : (make ? "MKD " : "RMD ") + relative;
  CurlSlistPtr commands(curl_slist_append(nullptr, command.c_str()));
  FtpReplyScope scope{&replies, &token};
  CURL* easy = lease.easy();
  setCommandOptions(easy, base, make, sftp, commands.get(), scope, token, settings);
  const int result = lease.run([&token] { return token.requested(); });
  if (token.requested()) {
    // The stop is reported, not whatever reply came last before it.
    replies.set(0, std::string("Cancelled by user"));
    return Outcome::cancelled();
  }
  if (sftp) {
    replies.recordSftpOutcome(result, make ? kSftpDirectoryCreated : kSftpDirectoryRemoved,
                              make ? kSftpDirectoryCreatedText : kSftpDirectoryRemovedText);
  } else {
    replies.recordTransferFailure(result, false);
  }
  return replies.outcome();
}

}  // namespace zembrel::detail
