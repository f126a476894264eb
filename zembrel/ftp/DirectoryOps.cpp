// Synchronous FTP directory operations: tree listing, creation, removal.

#include <curl/curl.h>

#include <algorithm>
#include <climits>
#include <cstdint>

#include "zembrel/Ftp.hpp"
#include "zembrel/Zembrel.hpp"
#include "zembrel/ftp/FtpFlags.hpp"
#include "zembrel/platform/Handles.hpp"
#include "zembrel/platform/Proxy.hpp"

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

std::string malformedUrlResult() {
  return std::string(curl_easy_strerror(CURLE_URL_MALFORMAT)) + '|' +
         std::to_string(static_cast<int>(CURLE_URL_MALFORMAT));
}

}  // namespace

std::string Zembrel::lastFTPResult() const {
  std::optional<std::string> text = lastFTPDescription;
  return text.value_or("") + '|' + std::to_string(lastFTPCode.load());
}

void Zembrel::recordTransferErrorIfNoReply(int curlCode) {
  if (lastFTPDescription.hasText()) return;
  setLastFTPCode(curlCode, std::string(curl_easy_strerror(static_cast<CURLcode>(curlCode))));
}

std::optional<ListingResult> Zembrel::getDirectoryListFromURL(const std::string& url,
                                                              const FtpLevel& withLevel) {
  if (doingUpload) return std::nullopt;
  if (!combineURL(url, "", std::nullopt, false)) return ListingResult{{}, malformedUrlResult()};
  ftpRecordResult = ListingResult{};
  std::vector<FtpEntry> top = getUsingCurlDirectoryList("", url).value_or(std::vector<FtpEntry>{});
  const std::int32_t levels = levelsOf(withLevel);
  if (levels > 0) stepThroughList(top, "/", levels, url);
  ftpRecordResult.directories = std::move(top);
  if (abortOperation == 1) {
    abortOperation = 0;
    ftpRecordResult.result = "Cancelled by user|0";
  } else if (lastFTPDescription.hasText()) {
    ftpRecordResult.result = lastFTPResult();
  }
  ListingResult result = std::move(ftpRecordResult);
  ftpRecordResult = ListingResult{};
  return result;
}

void Zembrel::stepThroughList(std::vector<FtpEntry>& list, const std::string& basePath,
                              std::int32_t numberOfLevels, const std::string& fromURL) {
  const std::size_t count = list.size();
  for (std::size_t i = 0; i < count; ++i) {
    FtpEntry& record = list[i];
    if (!record.directory) continue;
    const std::string path = basePath + record.name + '/';
    auto children = getUsingCurlDirectoryList(path, fromURL);
    if (children) record.children = std::move(*children);
    if (numberOfLevels - 1 > 0) stepThroughList(record.children, path, numberOfLevels - 1, fromURL);
  }
}

std::optional<std::vector<FtpEntry>> Zembrel::getUsingCurlDirectoryList(
    const std::string& path, const std::string& fromURL) {
  if (doingUpload) return std::nullopt;
  const auto listingURL = combineURL(fromURL, path, std::nullopt, false);
  if (!listingURL) return std::vector<FtpEntry>{};
  std::lock_guard carryOver(listBuffMutex);
  beginDirectoryList();
  CURL* easy = static_cast<CURL*>(curlHandle.acquire());
  if (!easy) return std::nullopt;
  curl_easy_setopt(easy, CURLOPT_URL, listingURL->c_str());
  curl_easy_setopt(easy, CURLOPT_VERBOSE, 0L);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &curlListingWriteCallback);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &curlHeaderCallback);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  detail::applyFtpProxy(easy);
  const CURLcode result = curl_easy_perform(easy);
  recordTransferErrorIfNoReply(result);
  curlHandle.release();
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
  CURL* easy = static_cast<CURL*>(curlHandle.acquire());
  if (!easy) return std::nullopt;
  const std::string command = (make ? "MKD " : "RMD ") + *relative;
  detail::CurlSlistPtr commands(curl_slist_append(nullptr, command.c_str()));
  if (make) curl_easy_setopt(easy, CURLOPT_DIRLISTONLY, 0L);
  curl_easy_setopt(easy, CURLOPT_URL, base->c_str());
  curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(easy, CURLOPT_VERBOSE, 0L);
  if (make) {
    curl_easy_setopt(easy, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
    curl_easy_setopt(easy, CURLOPT_FTP_CREATE_MISSING_DIRS, 1L);
  }
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &curlHeaderCallback);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  detail::applyFtpProxy(easy);
  curl_easy_setopt(easy, CURLOPT_QUOTE, commands.get());
  const CURLcode result = curl_easy_perform(easy);
  if (make && abortOperation == 1) {
    // A creation reports a cancel and consumes the request; a removal leaves
    // it for the next listing or creation.
    abortOperation = 0;
    setLastFTPCode(0, std::string("Cancelled by user"));
  } else {
    // Only a missing reply text is filled in, with libcurl's.
    recordTransferErrorIfNoReply(result);
  }
  curlHandle.release();
  return lastFTPResult();
}

}  // namespace zembrel
