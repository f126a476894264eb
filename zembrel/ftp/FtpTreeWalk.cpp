// The tree listing: one LIST per directory, all on one connection.

#include "zembrel/ftp/FtpTreeWalk.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <climits>

#include "zembrel/Zembrel.hpp"
#include "zembrel/core/CancelToken.hpp"
#include "zembrel/core/MessageText.hpp"
#include "zembrel/ftp/FtpInternals.hpp"
#include "zembrel/ftp/FtpTransfer.hpp"

namespace zembrel::detail {
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

}  // namespace

bool FtpTreeWalk::canList(const std::string& url) {
  return Zembrel::combineURL(url, "", std::nullopt, false).has_value();
}

FtpTreeWalk::FtpTreeWalk(FtpConnection::Lease& lease, FtpReplyRecord& replies,
                         const CancelToken& token, const std::atomic<bool>& uploadWaiting,
                         TransferSettings settings)
    : lease_(lease),
      replies_(replies),
      token_(token),
      uploadWaiting_(uploadWaiting),
      settings_(std::move(settings)),
      replyScope_{&replies, &token} {}

ListingResult FtpTreeWalk::run(const std::string& url, const FtpLevel& level) {
  url_ = url;
  listing_.beginWalk();
  ListingResult result;
  result.directories = listOne("").value_or(std::vector<FtpEntry>{});
  const std::int32_t levels = levelsOf(level);
  if (levels > 0) descend(result.directories, "/", levels);
  if (const auto ended = outcome()) result.result = resultText(*ended);
  return result;
}

std::optional<Outcome> FtpTreeWalk::outcome() const {
  if (token_.requested()) return Outcome::cancelled();
  if (listing_.tooManyEntries()) {
    // The listing's writer refused the rest, as libcurl then reports it.
    const std::string text = "More than " + std::to_string(kMaxWalkEntries) + " entries";
    return Outcome::failedBecause(Outcome::Cause::Transfer, CURLE_WRITE_ERROR, text, 0, text);
  }
  if (replies_.hasText()) return replies_.outcome();
  return std::nullopt;
}

bool FtpTreeWalk::stopped() const {
  return uploadWaiting_ || token_.requested() || listing_.tooManyEntries();
}

void FtpTreeWalk::descend(std::vector<FtpEntry>& list, const std::string& basePath,
                         std::int32_t levels) {
  const std::size_t count = list.size();
  for (std::size_t i = 0; i < count; ++i) {
    // Cancelled, closed, at the entry limit, or an upload waits for the handle.
    if (stopped()) return;
    FtpEntry& record = list[i];
    if (!record.directory || !canDescendInto(record.name)) continue;
    const std::string path = basePath + record.name + '/';
    if (auto children = listOne(path)) record.children = std::move(*children);
    if (levels - 1 > 0) descend(record.children, path, levels - 1);
  }
}

std::optional<std::vector<FtpEntry>> FtpTreeWalk::listOne(const std::string& path) {
  if (uploadWaiting_) return std::nullopt;
  const auto listingURL = Zembrel::combineURL(url_, path, std::nullopt, false);
  if (!listingURL) return std::vector<FtpEntry>{};
  listing_.beginDirectory();
  CURL* easy = lease_.easy();
  // Each listing sets all of its options; the connection stays.
  curl_easy_reset(easy);
  applyFtpTransferPolicy(easy, *listingURL, &token_, settings_);
  curl_easy_setopt(easy, CURLOPT_VERBOSE, 0L);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &curlListingWriteCallback);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &listing_);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &curlHeaderCallback);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &replyScope_);
  const int result = lease_.run([this] { return token_.requested(); });
  // SFTP listings arrive as "ls -l" lines, which the LIST parser reads; what
  // they record in place of the server's reply is in FtpTransfer.hpp.
  const bool cancelled = token_.requested();
  if (ftpSecurityOf(*listingURL) != FtpSecurity::Ssh) {
    replies_.recordTransferFailure(result, cancelled);
  } else if (!cancelled) {
    replies_.recordSftpOutcome(result, kSftpTransferDone, kSftpTransferDoneText);
  }
  return listing_.endDirectory(result == CURLE_OK);
}

}  // namespace zembrel::detail
