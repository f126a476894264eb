// FTP upload of one local file on a worker thread.

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "zembrel/Ftp.hpp"
#include "zembrel/Zembrel.hpp"
#include "zembrel/ftp/CurlInfo.hpp"
#include "zembrel/platform/Handles.hpp"
#include "zembrel/platform/HostChannel.hpp"
#include "zembrel/platform/Proxy.hpp"
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

std::string errorMessage(std::string_view text, long code) {
  std::string message = "#error|";
  message.append(text);
  message += '|';
  message += std::to_string(code);
  return message;
}

// Opens the local file for reading. Its size is the size of what the path
// leads to, symbolic links followed, taken from the open file itself.
struct OpenedFile {
  FilePtr file;
  std::uint64_t size = 0;
  int error = 0;
};

OpenedFile openLocalFile(const std::string& path) {
  OpenedFile opened;
  // Non-blocking, so a named pipe without a writer cannot hold the worker in
  // open(); reads of regular files ignore the flag.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    opened.error = errno;
    return opened;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    // Pipes and devices have no size to send: refused, not stored as empty.
    opened.error = S_ISDIR(status.st_mode) ? EISDIR : S_ISREG(status.st_mode) ? errno : EINVAL;
    ::close(fd);
    return opened;
  }
  opened.file.reset(::fdopen(fd, "rb"));
  if (!opened.file) {
    opened.error = errno;
    ::close(fd);
    return opened;
  }
  // libcurl's buffer is the only one: no second copy through stdio.
  std::setvbuf(opened.file.get(), nullptr, _IONBF, 0);
  opened.size = static_cast<std::uint64_t>(status.st_size);
  return opened;
}

}  // namespace

bool Zembrel::uploadFile(const std::string& localPath, const std::string& toURL) {
  // Taken here, before the worker exists, so two quick calls never start two.
  bool idle = false;
  if (!doingUpload.compare_exchange_strong(idle, true)) {
    detail::systemLog("previous upload hasn't finished yet");
    return false;
  }
  struct stat status {};
  if (::stat(localPath.c_str(), &status) != 0) {
    doingUpload = false;
    sendAppleEventError("File does not exist", 0);
    return false;
  }
  try {
    std::thread([self = shared_from_this(), localPath, toURL] {
      self->uploadUsingCurl(localPath, toURL);
    }).detach();
  } catch (const std::exception& e) {
    doingUpload = false;
    detail::systemLog(std::string("cannot start the upload thread: ") + e.what());
    return false;
  }
  return true;
}

void Zembrel::uploadUsingCurl(const std::string& fileToUpload, const std::string& url) {
  try {
    uploadThreadUsingCurlFile(fileToUpload, url);
  } catch (const std::exception& e) {
    // Only a failed allocation gets here; the host still gets its final message.
    doingUpload = false;
    detail::performOnMainThread(
        [message = errorMessage(e.what(), 0)] { detail::deliverHostMessage(message); });
  }
}

bool Zembrel::uploadThreadUsingCurlFile(const std::string& localPath, const std::string& toURL) {
  doingUpload = true;
  auto self = shared_from_this();
  auto handOff = [self](std::string message) {
    detail::performOnMainThread(
        [self, message = std::move(message)] { self->sendOpenToApplicationWithString(message); });
  };
  const std::string destination = uploadDestinationURL(toURL, localPath);

  OpenedFile opened = openLocalFile(localPath);
  if (!opened.file) {
    doingUpload = false;
    handOff(
        errorMessage(std::string("Could not open the local file: ") + std::strerror(opened.error),
                     opened.error));
    return true;
  }
  auto info = CurlInfoCreate(this, std::move(opened.file), opened.size);

  detail::CurlMultiPtr multi(curl_multi_init());
  CURL* easy = multi ? static_cast<CURL*>(curlHandle.acquire()) : nullptr;
  if (!easy) {
    doingUpload = false;
    handOff(errorMessage("The FTP connection is busy", 0));
    return true;
  }
  multiHandle = multi.get();

  // One change of directory to the whole path first. Where the path is
  // missing, libcurl creates it with a single MKD, which servers refuse when
  // more than one level is missing; the transfer is then repeated changing
  // (and creating) one level at a time.
  long fileMethod = CURLFTPMETHOD_SINGLECWD;
  auto setOptions = [&] {
    curl_easy_setopt(easy, CURLOPT_URL, destination.c_str());
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
    detail::applyFtpProxy(easy);
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
    const bool missingPath = done && result == CURLE_REMOTE_ACCESS_DENIED &&
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
  // For the same reason, a handle whose path could not be entered or made is
  // not kept.
  if (easy) curlHandle.release(result == CURLE_REMOTE_ACCESS_DENIED);
  const std::optional<std::string> localFailure = info->localFailure;
  const int localFailureCode = info->localFailureCode;
  info.reset();
  doingUpload = false;

  std::string message;
  if (zembrel::cancelUpload == 1) {
    zembrel::cancelUpload = 0;
    if (closeConnection == 1) {
      curlHandle.close();
      closeConnection = 0;
    }
    message = "#error|Upload Cancelled|0";
  } else if (localFailure) {
    message = errorMessage(*localFailure, localFailureCode);
  } else if (responseCode == 226) {
    message = "#complete|" + std::to_string(lastFTPCode.load());
  } else if (responseCode != 0) {
    std::optional<std::string> text = lastFTPDescription;
    message = errorMessage(text.value_or(""), lastFTPCode.load());
  } else {
    message = "#error|Could not connect to server|0";
  }
  handOff(std::move(message));
  return true;
}

}  // namespace zembrel
