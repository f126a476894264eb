// FTP upload of one local file on a worker thread.

#include <curl/curl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "zembrel/Zembrel.hpp"
#include "zembrel/core/MessageText.hpp"
#include "zembrel/ftp/CurlInfo.hpp"
#include "zembrel/ftp/FtpInternals.hpp"
#include "zembrel/ftp/FtpTransfer.hpp"
#include "zembrel/ftp/StopRequests.hpp"
#include "zembrel/platform/File.hpp"
#include "zembrel/platform/Handles.hpp"
#include "zembrel/platform/HostChannel.hpp"
#include "zembrel/platform/RunLoop.hpp"
#include "zembrel/platform/SystemLog.hpp"

namespace zembrel {
namespace {

using Clock = std::chrono::steady_clock;

// Longest wait of one pass of the transfer loop.
constexpr int kPassMilliseconds = 1000;
// After a cancel, the read callback ends the upload at once while the server
// takes data. A transfer on which nothing moves for this long after a cancel
// is dropped instead: a silent server must not hold it.
constexpr auto kCancelGrace = std::chrono::seconds(2);

void drive(CURLM* multi, int& running) {
  CURLMcode code;
  do {
    code = curl_multi_perform(multi, &running);
  } while (code == CURLM_CALL_MULTI_PERFORM);
  if (code != CURLM_OK) running = 0;
}

std::size_t discardBytes(char*, std::size_t size, std::size_t count, void*) noexcept {
  return size * count;
}

// The size the server gives for the file at the handle's URL (SIZE over FTP,
// a stat over SFTP), asked with the upload's handle (libcurl logs in again
// after an append); absent when the server gives none. Nothing of the answer
// reaches the upload's reply record.
std::optional<std::uint64_t> remoteFileSize(CURL* easy) {
  curl_easy_setopt(easy, CURLOPT_UPLOAD, 0L);
  curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(easy, CURLOPT_RESUME_FROM_LARGE, curl_off_t{0});
  curl_easy_setopt(easy, CURLOPT_FTP_CREATE_MISSING_DIRS, static_cast<long>(CURLFTP_CREATE_DIR_NONE));
  // libcurl hands the size on as a made-up header line, to both callbacks.
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &discardBytes);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, nullptr);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discardBytes);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, nullptr);
  if (curl_easy_perform(easy) != CURLE_OK) return std::nullopt;
  curl_off_t length = -1;
  if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK ||
      length < 0)
    return std::nullopt;
  return static_cast<std::uint64_t>(length);
}

// Records a failure when the server's file, after a resume, is not as long
// as the local file.
void checkResumedSize(CURL* easy, CurlInfo& info) {
  const auto stored = remoteFileSize(easy);
  if (!stored || *stored == info.totalBytes) return;
  info.localFailure = "The server's file has " + std::to_string(*stored) +
                      " bytes, the local file " + std::to_string(info.totalBytes);
  info.localFailureCode = 0;
}

// The outcome when the upload never reached a server, whatever kept it (the
// fixed text hosts already know for it).
constexpr const char* kNoConnection = "#error|Could not connect to server|0";

}  // namespace

bool Zembrel::uploadFile(const std::string& localPath, const std::string& toURL) {
  return startUpload(localPath, toURL, false);
}

bool Zembrel::resumeUploadFile(const std::string& localPath, const std::string& toURL) {
  return startUpload(localPath, toURL, true);
}

bool Zembrel::startUpload(const std::string& localPath, const std::string& toURL, bool resume) {
  // Taken here, before the worker exists, so two quick calls never start two.
  bool idle = false;
  if (!doingUpload.compare_exchange_strong(idle, true)) {
    detail::systemLog("previous upload hasn't finished yet");
    return false;
  }
  struct stat status {};
  if (::stat(localPath.c_str(), &status) != 0) {
    detail::endUpload(doingUpload);
    sendAppleEventError("File does not exist", 0);
    return false;
  }
  try {
    std::thread([self = shared_from_this(), localPath, toURL, resume] {
      self->uploadUsingCurl(localPath, toURL, resume);
    }).detach();
  } catch (const std::exception& e) {
    detail::endUpload(doingUpload);
    detail::systemLog(std::string("cannot start the upload thread: ") + e.what());
    return false;
  }
  return true;
}

void Zembrel::uploadUsingCurl(const std::string& fileToUpload, const std::string& url,
                              bool resume) {
  try {
    uploadThreadUsingCurlFile(fileToUpload, url, resume);
  } catch (...) {
    // Only a failed allocation (or thread resource) before the transfer gets
    // here; the host still gets its one final message.
    detail::endUpload(doingUpload);
    detail::performOnMainThread([] { detail::deliverHostMessage(kNoConnection); });
  }
}

bool Zembrel::uploadThreadUsingCurlFile(const std::string& localPath, const std::string& toURL,
                                        bool resume) {
  doingUpload = true;
  auto self = shared_from_this();
  auto handOff = [self](std::string message) {
    detail::performOnMainThread(
        [self, message = std::move(message)] { self->sendOpenToApplicationWithString(message); });
  };
  const std::string destination = uploadDestinationURL(toURL, localPath);

  // Only regular files; the size is that of what the path leads to, links
  // followed, taken from the open file itself.
  detail::File opened = detail::File::openForReading(localPath);
  if (!opened.isOpen()) {
    detail::endUpload(doingUpload);
    handOff(detail::errorMessageText(
        std::string("Could not open the local file: ") + std::strerror(opened.error()),
        opened.error()));
    return true;
  }
  const auto size = static_cast<std::uint64_t>(opened.size());
  auto info = CurlInfoCreate(this, std::move(opened), size);

  detail::CurlMultiPtr multi(curl_multi_init());
  // A directory operation of this instance that another thread still drives
  // ends soon (it lists no further directory once an upload waits): wait for
  // it, unless the upload is cancelled meanwhile.
  CURL* easy = multi ? static_cast<CURL*>(
                           curlHandle.acquireWhenFree([] { return zembrel::cancelUpload == 1; }))
                     : nullptr;
  if (!easy) {
    const auto stops = detail::endUpload(doingUpload);
    if (stops.cancelled) {
      if (stops.closeConnection) curlHandle.close();
      handOff("#error|Upload Cancelled|0");
    } else {
      handOff(kNoConnection);
    }
    return true;
  }
  multiHandle = multi.get();

  // One change of directory to the whole path first. Where the path is
  // missing, libcurl creates it with a single MKD, which servers refuse when
  // more than one level is missing; the transfer is then repeated changing
  // (and creating) one level at a time.
  long fileMethod = CURLFTPMETHOD_SINGLECWD;
  const detail::FtpSecurity security = detail::ftpSecurityOf(destination);
  auto setOptions = [&] {
    // Only the FTP schemes: a file:// destination would overwrite a local
    // file. Sets the URL too.
    detail::applyFtpTransferPolicy(easy, destination);
    curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(info->totalBytes));
    // With plain creation, libcurl 7.88 goes on after a refused MKD and stores
    // the file in the directory it happens to be in, reporting success; with
    // the retry mode it changes directory again and fails as it should.
    curl_easy_setopt(easy, CURLOPT_FTP_CREATE_MISSING_DIRS,
                     static_cast<long>(CURLFTP_CREATE_DIR_RETRY));
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &curlReadCallback);
    curl_easy_setopt(easy, CURLOPT_READDATA, info.get());
    curl_easy_setopt(easy, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(easy, CURLOPT_FTP_FILEMETHOD, fileMethod);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &curlHeaderCallback);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    if (resume) {
      // libcurl asks the server's size (SIZE), seeks the file there and
      // appends (APPE); without a server file it stores the whole file.
      curl_easy_setopt(easy, CURLOPT_RESUME_FROM_LARGE, curl_off_t{-1});
      curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &detail::curlSeekCallback);
      curl_easy_setopt(easy, CURLOPT_SEEKDATA, info.get());
    }
  };
  setOptions();

  long responseCode = 0;
  CURLcode result = CURLE_OK;
  curl_multi_add_handle(multi.get(), easy);
  for (;;) {
    int running = 0;
    drive(multi.get(), running);
    std::optional<Clock::time_point> lastMovement;  // set once a cancel is seen
    curl_off_t lastSent = -1;
    while (running != 0) {
      int ready = 0;
      curl_multi_poll(multi.get(), nullptr, 0, kPassMilliseconds, &ready);
      // Driven after every wait, also one that timed out: libcurl's own
      // time-outs then fire and a silent server cannot hold the worker.
      drive(multi.get(), running);
      if (zembrel::cancelUpload == 1) {
        curl_off_t sent = 0;
        curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &sent);
        if (!lastMovement || sent != lastSent) {
          lastMovement = Clock::now();
          lastSent = sent;
        } else if (Clock::now() - *lastMovement > kCancelGrace) {
          break;
        }
      }
    }
    bool done = false;
    int queued = 0;
    for (CURLMsg* message = curl_multi_info_read(multi.get(), &queued); message != nullptr;
         message = curl_multi_info_read(multi.get(), &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      done = true;
      result = message->data.result;
      if (zembrel::cancelUpload == 0) {
        long code = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
        responseCode = code;
      }
    }
    // SFTP creates each missing level itself.
    const bool missingPath = done && security != detail::FtpSecurity::Ssh &&
                             result == CURLE_REMOTE_ACCESS_DENIED &&
                             fileMethod == CURLFTPMETHOD_SINGLECWD && info->bytesRead == 0 &&
                             zembrel::cancelUpload == 0;
    if (!missingPath) break;
    // After a refused MKD, libcurl's connection still believes it is in the
    // directory it failed to make and would store the file in the wrong
    // place: the repeat starts on a new handle and connection.
    curl_multi_remove_handle(multi.get(), easy);
    curlHandle.release(true);
    easy = static_cast<CURL*>(curlHandle.acquire());
    if (!easy) break;
    fileMethod = CURLFTPMETHOD_MULTICWD;
    responseCode = 0;
    setOptions();
    curl_multi_add_handle(multi.get(), easy);
  }

  if (easy) curl_multi_remove_handle(multi.get(), easy);
  multiHandle = nullptr;
  multi.reset();
  // The file may have changed after its last block was read, or before an
  // empty file was sent: what the server stored is then not the file.
  if (!info->localFailure && zembrel::cancelUpload == 0) noteSizeChange(*info);
  // A resumed upload that found the whole file on the server sends nothing
  // and ends on the SIZE reply, without a 226.
  const bool alreadyStored = resume && result == CURLE_OK && responseCode == 213 &&
                             info->bytesRead == info->totalBytes;
  // A resume appended from where the server said its copy ended: a server
  // whose size was wrong now holds a file of another length, never the file.
  if (easy && resume && !info->localFailure && zembrel::cancelUpload == 0 &&
      (responseCode == 226 || alreadyStored))
    checkResumedSize(easy, *info);
  // For the same reason as above, a handle whose path could not be entered
  // or made is not kept.
  if (easy) curlHandle.release(result == CURLE_REMOTE_ACCESS_DENIED);
  const std::optional<std::string> localFailure = info->localFailure;
  const int localFailureCode = info->localFailureCode;
  info.reset();
  const auto stops = detail::endUpload(doingUpload);

  std::string message;
  if (stops.cancelled) {
    if (stops.closeConnection) curlHandle.close();
    message = "#error|Upload Cancelled|0";
  } else if (localFailure) {
    message = detail::errorMessageText(*localFailure, localFailureCode);
  } else if (security == detail::FtpSecurity::Ssh ||
             (security != detail::FtpSecurity::Plain && detail::isTrustFailure(result))) {
    // No FTP reply explains these outcomes: SFTP has none, and a refused
    // certificate or TLS request ends the session before one that would.
    if (result == CURLE_OK) {
      setLastFTPCode(detail::kSftpTransferDone, std::string(detail::kSftpTransferDoneText));
      message = "#complete|" + std::to_string(detail::kSftpTransferDone);
    } else {
      const std::string text = detail::curlFailureText(result);
      setLastFTPCode(static_cast<std::int32_t>(result), text);
      message = detail::peerErrorMessageText(text, static_cast<long>(result));
    }
  } else if (responseCode == 226 || alreadyStored) {
    message = "#complete|" + std::to_string(lastFTPCode.load());
  } else if (responseCode != 0 && result != CURLE_OK && lastFTPCode < 400) {
    // A reply below 400 (TYPE's 200, STOR's 150) does not explain a failed
    // transfer; libcurl's account of it does, as for a listing.
    const std::string text = detail::curlFailureText(result);
    setLastFTPCode(static_cast<std::int32_t>(result), text);
    message = detail::peerErrorMessageText(text, static_cast<long>(result));
  } else if (responseCode != 0) {
    std::optional<std::string> text = lastFTPDescription;
    message = detail::peerErrorMessageText(text.value_or(""), lastFTPCode.load());
  } else {
    message = "#error|Could not connect to server|0";
  }
  handOff(std::move(message));
  return true;
}

}  // namespace zembrel
