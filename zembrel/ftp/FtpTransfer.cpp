#include "zembrel/ftp/FtpTransfer.hpp"

#include <curl/curl.h>
#include <pwd.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "zembrel/core/CancelToken.hpp"
#include "zembrel/ftp/KnownHosts.hpp"
#include "zembrel/platform/TransferPolicy.hpp"

namespace zembrel::detail {
namespace {

// libcurl's SFTP upload sends what one read callback delivers as one run of
// pipelined SFTP writes. bench/ftp/run times 64 KiB (libcurl's default) to
// 2 MiB: on a loaded 2-core machine the spread between sizes was within the
// noise (4.1-5.7 s per GiB), while uploads at 512 KiB beat curl's 64 KiB by
// a third (4.7 s against 7.2 s). 512 KiB costs that much memory once.
constexpr long kSftpUploadBlock = 512 * 1024;

// The detailed text of the failure of the transfer this thread runs. Every
// FTP operation runs its transfer on one thread from start to end.
thread_local char failureText[CURL_ERROR_SIZE];

// libcurl calls this while a transfer runs, about ten times a second even
// when nothing moves, so a stop request from another thread takes effect
// within a second whatever the server does.
int stopCheck(void* token, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
  return static_cast<const CancelToken*>(token)->requested() ? 1 : 0;
}

// The known_hosts file of the transfer this thread runs, for the host-key
// check (which runs on the same thread, while the transfer connects).
thread_local std::string knownHostsPath;

// Only a key that known_hosts lists for this host and port, and does not
// mark revoked, passes: an unknown host, a changed key and a revoked key are
// all refused (CURLE_PEER_FAILED_VERIFICATION), and nothing is ever added to
// the file.
int strictHostKey(CURL*, const curl_khkey*, const curl_khkey* found, curl_khmatch match,
                  void* path) noexcept {
  try {
    if (match != CURLKHMATCH_OK || !found || !found->key) return CURLKHSTAT_REJECT;
    // libcurl hands the server's key over raw, with its length; base64 when
    // the length is 0.
    const std::string raw =
        found->len > 0 ? std::string(found->key, found->len) : decodeBase64(found->key);
    if (isRevokedHostKey(*static_cast<const std::string*>(path), raw)) return CURLKHSTAT_REJECT;
    return CURLKHSTAT_FINE;
  } catch (...) {
    return CURLKHSTAT_REJECT;
  }
}

std::string homeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return std::string();
}

bool isFile(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool hasScheme(const std::string& url, const char* scheme) {
  const std::size_t length = std::strlen(scheme);
  return url.size() > length + 3 && ::strncasecmp(url.c_str(), scheme, length) == 0 &&
         url.compare(length, 3, "://") == 0;
}

void applySshTrust(CURL* easy) {
  const std::string ssh = homeFolder() + "/.ssh/";
  // A missing file lists no host: every key is then unknown and refused.
  knownHostsPath = ssh + "known_hosts";
  curl_easy_setopt(easy, CURLOPT_SSH_KNOWNHOSTS, knownHostsPath.c_str());
  curl_easy_setopt(easy, CURLOPT_SSH_KEYFUNCTION, &strictHostKey);
  curl_easy_setopt(easy, CURLOPT_SSH_KEYDATA, &knownHostsPath);
  // libcurl itself looks only for id_rsa and id_dsa; the user's key is more
  // likely one of the newer kinds. A password in the URL still works when
  // the server refuses the key.
  for (const char* name : {"id_ed25519", "id_ecdsa", "id_rsa"}) {
    const std::string key = ssh + name;
    if (!isFile(key)) continue;
    curl_easy_setopt(easy, CURLOPT_SSH_PRIVATE_KEYFILE, key.c_str());
    // Without the public half, libssh2 derives it from the private key.
    const std::string pub = key + ".pub";
    curl_easy_setopt(easy, CURLOPT_SSH_PUBLIC_KEYFILE, isFile(pub) ? pub.c_str() : "");
    break;
  }
  curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, kSftpUploadBlock);
}

}  // namespace

FtpSecurity ftpSecurityOf(const std::string& url) {
  if (hasScheme(url, "ftps")) return FtpSecurity::ImplicitTls;
  if (hasScheme(url, "ftpes")) return FtpSecurity::ExplicitTls;
  if (hasScheme(url, "sftp")) return FtpSecurity::Ssh;
  return FtpSecurity::Plain;
}

void applyFtpTransferPolicy(CURL* easy, const std::string& url, const CancelToken* stoppable,
                            const TransferSettings& settings) {
  const FtpSecurity security = ftpSecurityOf(url);
  // libcurl has no ftpes scheme: it is ftp with TLS required before login.
  const std::string target =
      security == FtpSecurity::ExplicitTls ? "ftp" + url.substr(std::strlen("ftpes")) : url;
  applyTransferPolicy(easy, TransferKind::Ftp, target, settings);
  curl_easy_setopt(easy, CURLOPT_URL, target.c_str());
  failureText[0] = '\0';
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, failureText);
  switch (security) {
    case FtpSecurity::ImplicitTls:
    case FtpSecurity::ExplicitTls:
      // Control and data connections both, or the transfer fails
      // (CURLE_USE_SSL_FAILED) before USER is sent: never a fallback to plain.
      // The certificate is checked by the transfer policy.
      curl_easy_setopt(easy, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
      break;
    case FtpSecurity::Ssh:
      applySshTrust(easy);
      break;
    case FtpSecurity::Plain:
      break;
  }
  if (stoppable) {
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &stopCheck);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, const_cast<CancelToken*>(stoppable));
  }
}

bool isTrustFailure(int curlCode) {
  switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_USE_SSL_FAILED:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSH:
      return true;
    default:
      return false;
  }
}

Outcome curlFailureOutcome(int curlCode, std::string text, std::int64_t code, std::string words) {
  const bool unreachable = curlCode == CURLE_COULDNT_CONNECT ||
                           curlCode == CURLE_COULDNT_RESOLVE_HOST ||
                           curlCode == CURLE_COULDNT_RESOLVE_PROXY;
  // libcurl's words may quote the server (a reply it could not read).
  return Outcome::failedBecause(
      unreachable ? Outcome::Cause::NoConnection : Outcome::Cause::Transfer, curlCode,
      std::move(text), code, std::move(words), Outcome::DomainSource::Peer);
}

void hangUp(CURL* easy) {
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK ||
      socket == CURL_SOCKET_BAD)
    return;
  // Shut down, not closed: the descriptor stays libcurl's to close, but its
  // QUIT now fails at once instead of waiting for an answer.
  ::shutdown(socket, SHUT_RDWR);
}

std::string curlFailureText(int curlCode) {
  if (failureText[0] != '\0') return std::string(failureText, ::strnlen(failureText, sizeof failureText));
  return curl_easy_strerror(static_cast<CURLcode>(curlCode));
}

}  // namespace zembrel::detail
