// FTP upload of one local file on a worker thread.

#include "zembrel/ftp/FtpUploadOperation.hpp"

#include <curl/curl.h>

#include <cstring>
#include <utility>

#include "zembrel/Zembrel.hpp"
#include "zembrel/ftp/FtpClient.hpp"
#include "zembrel/ftp/FtpInternals.hpp"

namespace zembrel::detail {
namespace {

std::size_t discardBytes(char*, std::size_t size, std::size_t count, void*) noexcept {
  return size * count;
}

// The size the server gives for the file at the handle's URL (SIZE over FTP,
// a stat over SFTP), asked with the upload's handle (libcurl logs in again
// after an append); absent when the server gives none. Nothing of the answer
// reaches the upload's reply record.
std::optional<std::uint64_t> remoteFileSize(FtpConnection::Lease& lease) {
  CURL* easy = lease.easy();
  curl_easy_setopt(easy, CURLOPT_UPLOAD, 0L);
  curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(easy, CURLOPT_RESUME_FROM_LARGE, curl_off_t{0});
  curl_easy_setopt(easy, CURLOPT_FTP_CREATE_MISSING_DIRS, static_cast<long>(CURLFTP_CREATE_DIR_NONE));
  // libcurl hands the size on as a made-up header line, to both callbacks.
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &discardBytes);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, nullptr);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discardBytes);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, nullptr);
  if (lease.run() != CURLE_OK) return std::nullopt;
  curl_off_t length = -1;
  if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK ||
      length < 0)
    return std::nullopt;
  return static_cast<std::uint64_t>(length);
}

// Records a failure when the server's file, after a resume, is not as long
// as the local file.
void checkResumedSize(FtpConnection::Lease& lease, CurlInfo& info) {
  const auto stored = remoteFileSize(lease);
  if (!stored || *stored == info.totalBytes) return;
  info.localFailure = "The server's file has " + std::to_string(*stored) +
                      " bytes, the local file " + std::to_string(info.totalBytes);
  info.localFailureCode = 0;
  info.serverCopyFault = true;
}

// The outcome when no server reply came, whatever kept it: the fixed text
// hosts already know for it, whether libcurl could not connect or, say, the
// server never greeted, sent garbage or never ended a reply.
Outcome noConnection(int result) {
  return curlFailureOutcome(result, "Could not connect to server", 0, curlFailureText(result));
}

// libcurl's account of a failure, for which no server reply speaks.
Outcome curlFailure(FtpReplyRecord& replies, int result) {
  const std::string text = curlFailureText(result);
  replies.setFailure(result, text, text);
  return curlFailureOutcome(result, text, result, text);
}

// The local file's fault, with its errno (0 when it has none); a fault that
// only the server's copy shows is libcurl's kind of failure, a partial file.
Outcome localFailure(const CurlInfo& info) {
  if (info.serverCopyFault)
    return Outcome::failedBecause(Outcome::Cause::Transfer, CURLE_PARTIAL_FILE,
                                  *info.localFailure, info.localFailureCode, *info.localFailure);
  return Outcome::failedBecause(Outcome::Cause::LocalFile, info.localFailureCode,
                                *info.localFailure, info.localFailureCode, *info.localFailure);
}

}  // namespace

FtpUploadOperation::FtpUploadOperation(FtpClient& client, std::shared_ptr<UploadStop> stop,
                                       const std::string& localPath, const std::string& url,
                                       bool resume, TransferSettings settings)
    : client_(client),
      stop_(std::move(stop)),
      localPath_(localPath),
      destination_(Zembrel::uploadDestinationURL(url, localPath)),
      resume_(resume),
      settings_(std::move(settings)),
      security_(ftpSecurityOf(destination_)),
      // One change of directory to the whole path first. Where the path is
      // missing, libcurl creates it with a single MKD, which servers refuse
      // when more than one level is missing; the transfer is then repeated
      // changing (and creating) one level at a time.
      fileMethod_(CURLFTPMETHOD_SINGLECWD),
      // The upload's own reply lines stop nothing: a cancel ends its reading.
      replyScope_{&client.replies(), nullptr} {}

bool FtpUploadOperation::cancelled() const { return stop_->token.requested(); }

Outcome FtpUploadOperation::run() {
  // Only regular files; the size is that of what the path leads to, links
  // followed, taken from the open file itself.
  File opened = File::openForReading(localPath_);
  if (!opened.isOpen()) {
    const int error = opened.error();
    const std::string text = std::string("Could not open the local file: ") + std::strerror(error);
    return Outcome::failedBecause(Outcome::Cause::LocalFile, error, text, error, text);
  }
  const auto size = static_cast<std::uint64_t>(opened.size());
  info_.emplace(CurlInfo{&stop_->token, std::move(opened), size, 0, std::nullopt, 0});
  if (stop_->progress) info_->progress = &stop_->progress;
  // A directory operation of this instance that another thread still drives
  // ends soon (it lists no further directory once an upload waits): wait for
  // it, unless the upload is cancelled meanwhile.
  lease_ = client_.connection().acquireWhenFree([this] { return cancelled(); });
  if (!lease_) return cancelled() ? Outcome::cancelled() : noConnection(CURLE_FAILED_INIT);
  client_.setUploadDriving(true);
  setOptions();
  Attempt attempt = transferOnce();
  if (needsLevelByLevel(attempt)) {
    // After a refused MKD, libcurl's connection still believes it is in the
    // directory it failed to make and would store the file in the wrong
    // place: the repeat starts on a new handle and connection.
    lease_.discard();
    lease_.release();
    lease_ = client_.connection().acquire();
    if (lease_) {
      fileMethod_ = CURLFTPMETHOD_MULTICWD;
      setOptions();
      attempt = transferOnce();
    }
  }
  client_.setUploadDriving(false);
  return finish(attempt);
}

void FtpUploadOperation::setOptions() {
  CURL* easy = lease_.easy();
  // Only the FTP schemes: a file:// destination would overwrite a local file.
  // Sets the URL too. The stop check ends the transfer in every phase,
  // also while libcurl waits for the final reply (where no block is read).
  applyFtpTransferPolicy(easy, destination_, &stop_->token, settings_);
  curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(info_->totalBytes));
  // With plain creation, libcurl 7.88 goes on after a refused MKD and stores
  // the file in the directory it happens to be in, reporting success; with
  // the retry mode it changes directory again and fails as it should.
  curl_easy_setopt(easy, CURLOPT_FTP_CREATE_MISSING_DIRS,
                   static_cast<long>(CURLFTP_CREATE_DIR_RETRY));
  curl_easy_setopt(easy, CURLOPT_READFUNCTION, &curlReadCallback);
  curl_easy_setopt(easy, CURLOPT_READDATA, &*info_);
  curl_easy_setopt(easy, CURLOPT_VERBOSE, 0L);
  curl_easy_setopt(easy, CURLOPT_FTP_FILEMETHOD, fileMethod_);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &curlHeaderCallback);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &replyScope_);
  if (resume_) {
    // libcurl asks the server's size (SIZE), seeks the file there and
    // appends (APPE); without a server file it stores the whole file.
    curl_easy_setopt(easy, CURLOPT_RESUME_FROM_LARGE, curl_off_t{-1});
    curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &curlSeekCallback);
    curl_easy_setopt(easy, CURLOPT_SEEKDATA, &*info_);
  }
}

FtpUploadOperation::Attempt FtpUploadOperation::transferOnce() {
  CURL* easy = lease_.easy();
  Attempt attempt;
  // A cancel drops the transfer and its connection, without a goodbye: a
  // server that withheld its final reply would withhold the answer to QUIT.
  stop_->setTransferRunning(&client_.connection());
  attempt.result = lease_.run([this] { return cancelled(); });
  stop_->setTransferRunning(nullptr);
  attempt.finished = !(attempt.result == CURLE_ABORTED_BY_CALLBACK && cancelled());
  if (!cancelled()) curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &attempt.responseCode);
  // After a failed attempt libcurl may leave the code of a completed transfer
  // on a new connection unset; the reply lines this operation saw still say it.
  if (attempt.result == CURLE_OK && attempt.responseCode == 0 && !cancelled())
    attempt.responseCode = client_.replies().code();
  return attempt;
}

bool FtpUploadOperation::needsLevelByLevel(const Attempt& attempt) const {
  // SFTP creates each missing level itself.
  return attempt.finished && security_ != FtpSecurity::Ssh &&
         attempt.result == CURLE_REMOTE_ACCESS_DENIED && fileMethod_ == CURLFTPMETHOD_SINGLECWD &&
         info_->bytesRead == 0 && !cancelled();
}

Outcome FtpUploadOperation::finish(const Attempt& attempt) {
  // The file may have changed after its last block was read, or before an
  // empty file was sent: what the server stored is then not the file.
  if (!info_->localFailure && !cancelled()) noteSizeChange(*info_);
  // A resumed upload that found the whole file on the server sends nothing
  // and ends on the SIZE reply, without a 226.
  const bool alreadyStored = resume_ && attempt.result == CURLE_OK &&
                             attempt.responseCode == 213 &&
                             info_->bytesRead == info_->totalBytes;
  // A resume appended from where the server said its copy ended: a server
  // whose size was wrong now holds a file of another length, never the file.
  if (lease_ && resume_ && !info_->localFailure && !cancelled() &&
      (attempt.responseCode == 226 || alreadyStored))
    checkResumedSize(lease_, *info_);
  // For the same reason as a missing path above, a handle whose path could
  // not be entered or made is not kept.
  if (attempt.result == CURLE_REMOTE_ACCESS_DENIED) lease_.discard();
  return outcomeOf(attempt, alreadyStored);
}

Outcome FtpUploadOperation::outcomeOf(const Attempt& attempt, bool alreadyStored) {
  FtpReplyRecord& replies = client_.replies();
  if (cancelled()) return Outcome::cancelled();
  if (info_->localFailure) return localFailure(*info_);
  if (security_ == FtpSecurity::Ssh ||
      (security_ != FtpSecurity::Plain && isTrustFailure(attempt.result))) {
    // No FTP reply explains these outcomes: SFTP has none, and a refused
    // certificate or TLS request ends the session before one that would.
    if (attempt.result != CURLE_OK) return curlFailure(replies, attempt.result);
    replies.set(kSftpTransferDone, std::string(kSftpTransferDoneText));
    return Outcome::succeeded(kSftpTransferDone, kSftpTransferDoneText);
  }
  if (attempt.responseCode == 226 || alreadyStored)
    return Outcome::succeeded(replies.code(), replies.text().value_or(""));
  // A reply below 400 (TYPE's 200, STOR's 150) does not explain a failed
  // transfer; libcurl's account of it does, as for a listing.
  if (attempt.responseCode != 0 && attempt.result != CURLE_OK && replies.code() < 400)
    return curlFailure(replies, attempt.result);
  if (attempt.responseCode != 0)
    return Outcome::refusedByPeer(replies.text().value_or(""), replies.code());
  return noConnection(attempt.result);
}

}  // namespace zembrel::detail
