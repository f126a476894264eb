#pragma once

// What every FTP transfer of the library obeys, on top of the library-wide
// transfer policy, and how the secure schemes are carried out.
//
// Schemes: ftp:// (plain), ftps:// (TLS from the first byte, port 990),
// ftpes:// (plain connection that must turn to TLS with AUTH TLS before the
// user name is sent, port 21; never continues without TLS) and sftp:// (SSH,
// port 22; the server's host key must be in ~/.ssh/known_hosts).

#include <string>

#include "zembrel/core/Outcome.hpp"
#include "zembrel/platform/TransferPolicy.hpp"

typedef void CURL;

namespace zembrel::detail {

class CancelToken;

// How a URL's transfer is protected, by its scheme.
enum class FtpSecurity {
  Plain,        // ftp:// and anything libcurl will refuse anyway
  ImplicitTls,  // ftps://
  ExplicitTls,  // ftpes://
  Ssh,          // sftp://
};

FtpSecurity ftpSecurityOf(const std::string& url);

// SFTP has no FTP reply lines. Where FTP would record a server's reply, SFTP
// operations record these instead, so results read the same: an upload or a
// listing that succeeded 226, a created directory 257, a removed one 250. A
// failure records libcurl's result code with libcurl's text for it (the
// detailed message of the failure where libcurl gives one, e.g. "mkdir
// command failed: ..."), as FTP operations do when no reply explains it.
inline constexpr int kSftpTransferDone = 226;
inline constexpr const char* kSftpTransferDoneText = "Transfer complete.";
inline constexpr int kSftpDirectoryCreated = 257;
inline constexpr const char* kSftpDirectoryCreatedText = "Directory created.";
inline constexpr int kSftpDirectoryRemoved = 250;
inline constexpr const char* kSftpDirectoryRemovedText = "Directory removed.";

// Applies the transfer policy for FTP to a new or reset handle, before the
// operation sets its own options, and sets the handle's URL: the library's
// transfer policy for FTP, then TLS required on control and data connections
// for ftps:// and ftpes:// (an ftpes:// URL reaches libcurl as ftp:// with
// TLS required), or for sftp:// the host-key check against
// $HOME/.ssh/known_hosts (unknown and changed keys are refused), the user's
// key from ~/.ssh and the SFTP block size.
// With `stoppable`, the handle also checks whenever libcurl runs (at least
// once a second) whether the operation's token was cancelled from another
// thread, and then ends the transfer (CURLE_ABORTED_BY_CALLBACK).
// `settings` are the operation's own limits, trust and proxy.
// The handle's error text (see curlFailureText) is kept per thread.
void applyFtpTransferPolicy(CURL* easy, const std::string& url,
                            const CancelToken* stoppable = nullptr,
                            const TransferSettings& settings = {});

// A failure that a secure scheme's checks caused (certificate, TLS refused,
// host key, SSH session): reported with libcurl's own text and code, since no
// server reply explains it.
bool isTrustFailure(int curlCode);

// libcurl's failure of an FTP transfer as an outcome whose host message
// keeps `text` and `code`. For the operation interface, a server that could
// not be reached or named is NoConnection, anything else Transfer, both with
// libcurl's code and its detailed `words`.
Outcome curlFailureOutcome(int curlCode, std::string text, std::int64_t code, std::string words);

// Closes the handle's control connection without a goodbye: libcurl would
// otherwise send QUIT when the handle ends and wait for its answer as long as
// for any reply. For a server that has just let a command stall. The handle
// must be destroyed afterwards, not reused.
void hangUp(CURL* easy);

// libcurl's detailed message for the last failure of a transfer that this
// thread ran with applyFtpTransferPolicy, or its general text for the code.
// Never holds a password: libcurl names hosts and paths, not credentials.
std::string curlFailureText(int curlCode);

}  // namespace zembrel::detail
