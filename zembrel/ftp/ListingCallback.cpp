// Cutting listing text into lines and turning accepted lines into entries.

#include <climits>

#include "zembrel/Ftp.hpp"
#include "zembrel/FtpParse.hpp"
#include "zembrel/Zembrel.hpp"
#include "zembrel/ftp/DirectoryListing.hpp"
#include "zembrel/platform/Text.hpp"

namespace zembrel {

template <>
void detail::Destroy<detail::DirectoryListing>::operator()(
    detail::DirectoryListing* listing) const noexcept {
  delete listing;
}

namespace {

// One complete line: an entry when the parser accepts it. Empty lines and
// lines it rejects (a "total" line, a lone carriage return) are skipped.
void takeLine(Zembrel& instance, std::string_view line) {
  if (line.empty() || line.size() > static_cast<std::size_t>(INT_MAX)) return;
  ftplistresult parsed{};
  if (ftpparse(&parsed, line.data(), static_cast<int>(line.size())) != 1) return;
  if (!parsed.name || parsed.namelength < 0) return;
  instance.createDictOfPath(
      std::string_view(parsed.name, static_cast<std::size_t>(parsed.namelength)),
      parsed.flagmaybedir);
}

}  // namespace

std::size_t curlListingWriteCallback(char* data, std::size_t size, std::size_t nitems,
                                     void* instance) noexcept {
  const std::size_t length = size * nitems;
  try {
    // A short count makes libcurl end the transfer (CURLE_WRITE_ERROR).
    return static_cast<Zembrel*>(instance)->takeListingBlock(std::string_view(data, length))
               ? length
               : 0;
  } catch (...) {
    // Out of memory: the entries gathered so far stand; the rest is dropped.
    return 0;
  }
}

bool Zembrel::takeListingBlock(std::string_view block) {
  if (!listing_) beginDirectoryList();
  detail::DirectoryListing& listing = *listing_;
  if (!listing.answer.take(block.size())) return false;
  while (!block.empty()) {
    const std::size_t feed = block.find('\n');
    const bool complete = feed != std::string_view::npos;
    const std::string_view piece = complete ? block.substr(0, feed) : block;
    block.remove_prefix(complete ? feed + 1 : block.size());
    if (listing.skippingLongLine) {
      listing.skippingLongLine = !complete;
      continue;
    }
    if (listing.listBuff.size() + piece.size() > detail::kMaxListingLine) {
      // Too long for any real listing: dropped up to its line feed.
      listing.listBuff.clear();
      listing.skippingLongLine = !complete;
      continue;
    }
    if (!complete) {
      // The block ends inside a line: keep it until the rest arrives.
      listing.listBuff.append(piece);
      break;
    }
    if (listing.listBuff.empty()) {
      takeLine(*this, piece);
    } else {
      listing.listBuff.append(piece);
      std::string line;
      line.swap(listing.listBuff);
      takeLine(*this, line);
    }
    if (listing.tooManyEntries) return false;
  }
  return true;
}

void Zembrel::createDictOfPath(std::string_view name, std::int32_t andDirFlag) {
  const std::string_view clean = detail::trimWhitespaceAndNewlines(name);
  if (clean == "." || clean == "..") return;
  if (!listing_) beginDirectoryList();
  if (listing_->walkEntries >= detail::kMaxWalkEntries) {
    listing_->tooManyEntries = true;
    return;
  }
  ++listing_->walkEntries;
  ftpList.push_back(FtpEntry{std::string(clean), andDirFlag != 0, {}});
}

void Zembrel::beginDirectoryList() {
  if (!listing_) listing_ = detail::Owned<detail::DirectoryListing>(new detail::DirectoryListing);
  listing_->beginDirectory();
  ftpList.clear();
}

std::vector<FtpEntry> Zembrel::endDirectoryList(bool transferCompleted) {
  if (listing_) {
    detail::DirectoryListing& listing = *listing_;
    if (transferCompleted && !listing.listBuff.empty()) {
      // The server's last line came without a line feed.
      std::string line;
      line.swap(listing.listBuff);
      takeLine(*this, line);
    }
    listing.beginDirectory();
  }
  std::vector<FtpEntry> entries;
  entries.swap(ftpList);
  return entries;
}

}  // namespace zembrel
