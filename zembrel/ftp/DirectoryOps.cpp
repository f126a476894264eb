// Synchronous FTP directory operations: tree listing, creation, removal.

#include <curl/curl.h>

#include <algorithm>
#include <climits>
#include <cstdint>

#include "zembrel/Zembrel.hpp"
#include "zembrel/core/MessageText.hpp"
#include "zembrel/ftp/DirectoryListing.hpp"
#include "zembrel/ftp/FtpInternals.hpp"
#include "zembrel/ftp/FtpTransfer.hpp"
#include "zembrel/platform/Handles.hpp"

namespace zembrel {
namespace {

constexpr std::int32_t kMaxLevels = 5;

// The leading integer of a text: blanks, an optional sign, digits; no digits
// give 0; values beyond 32 bits saturate.
std::int32_t leadingInteger(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min<std::int64_t>(value * 10 + (text[i] - '0'), std::int64_t{INT32_MAX} + 1);
  }
  if (negative) value = -value;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

std::int32_t levelsOf(const FtpLevel& level) {
  std::int32_t levels = 0;
  if (const auto* number = std::get_if<long long>(&level)) {
    levels = static_cast<std::int32_t>(std::clamp<long long>(*number, INT32_MIN, INT32_MAX));
  } else if (const auto* text = std::get_if<std::string>(&level)) {
    levels = leadingInteger(*text);
  }
  return std::min(levels, kMaxLevels);
}

// A directory the walk may list: a name of the directory itself. "." and ".."
// lead elsewhere, a name holding "/" into some other path, and an empty name
// back into the directory being walked.
bool canDescendInto(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The instance's handle for one directory operation: no other operation of
// the instance uses it meanwhile, and it is reset (or destroyed, when a close
// was asked for) at the end.
class HandleLease {
 public:
  explicit HandleLease(detail::FtpHandleSlot& slot)
      : slot_(slot), easy_(static_cast<CURL*>(slot.acquire())) {}
  HandleLease(const HandleLease&) = delete;
  HandleLease& operator=(const HandleLease&) = delete;
  ~HandleLease() {
    if (easy_) slot_.release(discard_);
  }
  CURL* get() const { return easy_; }
  // The handle and its connection end with the lease instead of staying.
  void discard() { discard_ = true; }

 private:
  detail::FtpHandleSlot& slot_;
  CURL* easy_;
  bool discard_ = false;
};

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

std::string malformedUrlResult() {
  return std::string(curl_easy_strerror(CURLE_URL_MALFORMAT)) + '|' +
         std::to_string(static_cast<int>(CURLE_URL_MALFORMAT));
}

}  // namespace

std::string Zembrel::lastFTPResult() const {
  std::optional<std::string> text = lastFTPDescription;
  return detail::replyResultText(text.value_or(""), lastFTPCode.load());
}

void Zembrel::recordTransferFailure(int curlCode, bool stoppedByCaller) {
  // A reply below 400 (the 150 before a listing that then stalled, a 226 of an
  // earlier operation) does not explain a failed transfer; libcurl's error does.
  const bool unexplained = curlCode != CURLE_OK && !stoppedByCaller && lastFTPCode < 400;
  // A refused certificate, TLS request or host key is never hidden behind the
  // reply (AUTH's, say) that came before it.
  if (!stoppedByCaller && detail::isTrustFailure(curlCode)) {
    setLastFTPCode(curlCode, detail::curlFailureText(curlCode));
    return;
  }
  if (lastFTPDescription.hasText() && !unexplained) return;
  setLastFTPCode(curlCode, std::string(curl_easy_strerror(static_cast<CURLcode>(curlCode))));
}

void Zembrel::recordSftpOutcome(int curlCode, bool stoppedByCaller, std::int32_t doneCode,
                                const char* doneText) {
  if (stoppedByCaller) return;
  if (curlCode == CURLE_OK) {
    setLastFTPCode(doneCode, std::string(doneText));
  } else {
    setLastFTPCode(curlCode, detail::curlFailureText(curlCode));
  }
}

bool Zembrel::ftpOperationStopped() const {
  return abortOperation == 1 || curlHandle.closeRequested();
}

bool Zembrel::walkStopped() const {
  return doingUpload || ftpOperationStopped() || (listing_ && listing_->tooManyEntries);
}

std::optional<ListingResult> Zembrel::getDirectoryListFromURL(const std::string& url,
                                                              const FtpLevel& withLevel) {
  if (doingUpload) return std::nullopt;
  if (!combineURL(url, "", std::nullopt, false)) return ListingResult{{}, malformedUrlResult()};
  // Held for the whole walk: the listing state below is this walk's alone.
  HandleLease handle(curlHandle);
  if (!handle.get()) return std::nullopt;
  beginDirectoryList();
  listing_->beginWalk();
  ftpRecordResult = ListingResult{};
  std::vector<FtpEntry> top =
      getUsingCurlDirectoryList(handle.get(), "", url).value_or(std::vector<FtpEntry>{});
  const std::int32_t levels = levelsOf(withLevel);
  if (levels > 0) stepThroughList(handle.get(), top, "/", levels, url);
  ftpRecordResult.directories = std::move(top);
  if (abortOperation == 1 || curlHandle.closeRequested()) {
    // A close ends the walk as a cancel does; it leaves the request flag alone.
    if (abortOperation == 1) abortOperation = 0;
    ftpRecordResult.result = "Cancelled by user|0";
  } else if (listing_->tooManyEntries) {
    ftpRecordResult.result = "More than " + std::to_string(detail::kMaxWalkEntries) + " entries|0";
  } else if (lastFTPDescription.hasText()) {
    ftpRecordResult.result = lastFTPResult();
  }
  ListingResult result = std::move(ftpRecordResult);
  ftpRecordResult = ListingResult{};
  return result;
}

void Zembrel::stepThroughList(void* easy, std::vector<FtpEntry>& list, const std::string& basePath,
                              std::int32_t numberOfLevels, const std::string& fromURL) {
  const std::size_t count = list.size();
  for (std::size_t i = 0; i < count; ++i) {
    // Cancelled, closed, at the entry limit, or an upload waits for the handle.
    if (walkStopped()) return;
    FtpEntry& record = list[i];
    if (!record.directory || !canDescendInto(record.name)) continue;
    const std::string path = basePath + record.name + '/';
    auto children = getUsingCurlDirectoryList(easy, path, fromURL);
    if (children) record.children = std::move(*children);
    if (numberOfLevels - 1 > 0) {
      stepThroughList(easy, record.children, path, numberOfLevels - 1, fromURL);
    }
  }
}

std::optional<std::vector<FtpEntry>> Zembrel::getUsingCurlDirectoryList(
    void* handle, const std::string& path, const std::string& fromURL) {
  if (doingUpload) return std::nullopt;
  const auto listingURL = combineURL(fromURL, path, std::nullopt, false);
  if (!listingURL) return std::vector<FtpEntry>{};
  beginDirectoryList();
  CURL* easy = static_cast<CURL*>(handle);
  // Each listing sets all of its options; the connection stays.
  curl_easy_reset(easy);
  detail::applyFtpTransferPolicy(easy, *listingURL, this);
  curl_easy_setopt(easy, CURLOPT_VERBOSE, 0L);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &curlListingWriteCallback);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &curlHeaderCallback);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  const CURLcode result = curl_easy_perform(easy);
  // SFTP listings arrive as "ls -l" lines, which the LIST parser reads; what
  // they record in place of the server's reply is in FtpTransfer.hpp.
  if (detail::ftpSecurityOf(*listingURL) == detail::FtpSecurity::Ssh) {
    recordSftpOutcome(result, ftpOperationStopped(), detail::kSftpTransferDone,
                      detail::kSftpTransferDoneText);
  } else {
    recordTransferFailure(result, ftpOperationStopped());
  }
  return endDirectoryList(result == CURLE_OK);
}

std::optional<std::string> Zembrel::createDirectoryWithURL(const std::string& url) {
  return runDirectoryCommand(url, true);
}

std::optional<std::string> Zembrel::removeDirectoryWithURL(const std::string& url) {
  return runDirectoryCommand(url, false);
}

std::optional<std::string> Zembrel::runDirectoryCommand(const std::string& url, bool make) {
  if (doingUpload) return std::nullopt;
  const auto relative = relativePathFromURLString(url);
  const auto base = basePathFromURLString(url);
  if (!relative || !base) return malformedUrlResult();
  HandleLease handle(curlHandle);
  CURL* easy = handle.get();
  if (!easy) return std::nullopt;
  const bool sftp = detail::ftpSecurityOf(url) == detail::FtpSecurity::Ssh;
  const std::string command =
      sftp ? sftpDirectoryCommand(make, *relative) : (make ? "MKD " : "RMD ") + *relative;
  detail::CurlSlistPtr commands(curl_slist_append(nullptr, command.c_str()));
  detail::applyFtpTransferPolicy(easy, *base, this);
  if (make) curl_easy_setopt(easy, CURLOPT_DIRLISTONLY, 0L);
  curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(easy, CURLOPT_VERBOSE, 0L);
  if (make) {
    curl_easy_setopt(easy, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
    curl_easy_setopt(easy, CURLOPT_FTP_CREATE_MISSING_DIRS, 1L);
  }
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &curlHeaderCallback);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  // Over FTP the command goes after libcurl has taken a reused connection
  // back to the login directory (it does that after the pre-transfer
  // commands), so the path names a folder below the login directory even
  // when a listing left the connection elsewhere.
  curl_easy_setopt(easy, sftp ? CURLOPT_QUOTE : CURLOPT_POSTQUOTE, commands.get());
  const CURLcode result = curl_easy_perform(easy);
  if (result == CURLE_OPERATION_TIMEDOUT) {
    // A server that let the command stall would let the goodbye stall too.
    detail::hangUp(easy);
    handle.discard();
  }
  if (ftpOperationStopped()) {
    // A creation consumes the cancel request; a removal leaves it for the
    // next listing or creation. Either reports the stop, not whatever reply
    // came last before it.
    if (make && abortOperation == 1) abortOperation = 0;
    setLastFTPCode(0, std::string("Cancelled by user"));
  } else if (sftp) {
    recordSftpOutcome(result, false,
                      make ? detail::kSftpDirectoryCreated : detail::kSftpDirectoryRemoved,
                      make ? detail::kSftpDirectoryCreatedText : detail::kSftpDirectoryRemovedText);
  } else {
    recordTransferFailure(result, false);
  }
  return lastFTPResult();
}

}  // namespace zembrel
