// Cutting listing text into lines and turning accepted lines into entries.

#include <climits>

#include "zembrel/FtpParse.hpp"
#include "zembrel/ftp/DirectoryListing.hpp"
#include "zembrel/platform/Text.hpp"

namespace zembrel::detail {

std::size_t curlListingWriteCallback(char* data, std::size_t size, std::size_t nitems,
                                     void* listing) noexcept {
  const std::size_t length = size * nitems;
  try {
    // A short count makes libcurl end the transfer (CURLE_WRITE_ERROR).
    return static_cast<DirectoryListing*>(listing)->takeBlock(std::string_view(data, length))
               ? length
               : 0;
  } catch (...) {
    // Out of memory: the entries gathered so far stand; the rest is dropped.
    return 0;
  }
}

void DirectoryListing::beginWalk() {
  beginDirectory();
  walkEntries_ = 0;
  tooManyEntries_ = false;
}

void DirectoryListing::beginDirectory() {
  entries_.clear();
  carry_.clear();
  skippingLongLine_ = false;
  answer_ = AnswerBudget();
}

bool DirectoryListing::takeBlock(std::string_view block) {
  if (!answer_.take(block.size())) return false;
  while (!block.empty()) {
    const std::size_t feed = block.find('\n');
    const bool complete = feed != std::string_view::npos;
    const std::string_view piece = complete ? block.substr(0, feed) : block;
    block.remove_prefix(complete ? feed + 1 : block.size());
    if (skippingLongLine_) {
      skippingLongLine_ = !complete;
      continue;
    }
    if (carry_.size() + piece.size() > kMaxListingLine) {
      // Too long for any real listing: dropped up to its line feed.
      carry_.clear();
      skippingLongLine_ = !complete;
      continue;
    }
    if (!complete) {
      // The block ends inside a line: keep it until the rest arrives.
      carry_.append(piece);
      break;
    }
    if (carry_.empty()) {
      takeLine(piece);
    } else {
      carry_.append(piece);
      std::string line;
      line.swap(carry_);
      takeLine(line);
    }
    if (tooManyEntries_) return false;
  }
  return true;
}

// One complete line: an entry when the parser accepts it. Empty lines and
// lines it rejects (a "total" line, a lone carriage return) are skipped.
void DirectoryListing::takeLine(std::string_view line) {
  if (line.empty() || line.size() > static_cast<std::size_t>(INT_MAX)) return;
  ftplistresult parsed{};
  if (ftpparse(&parsed, line.data(), static_cast<int>(line.size())) != 1) return;
  if (!parsed.name || parsed.namelength < 0) return;
  addEntry(std::string_view(parsed.name, static_cast<std::size_t>(parsed.namelength)),
           parsed.flagmaybedir);
}

void DirectoryListing::addEntry(std::string_view name, std::int32_t dirFlag) {
  const std::string_view clean = trimWhitespaceAndNewlines(name);
  if (clean == "." || clean == "..") return;
  if (walkEntries_ >= kMaxWalkEntries) {
    tooManyEntries_ = true;
    return;
  }
  ++walkEntries_;
  entries_.push_back(FtpEntry{std::string(clean), dirFlag != 0, {}});
}

std::vector<FtpEntry> DirectoryListing::endDirectory(bool transferCompleted) {
  if (transferCompleted && !carry_.empty()) {
    // The server's last line came without a line feed.
    std::string line;
    line.swap(carry_);
    takeLine(line);
  }
  std::vector<FtpEntry> entries;
  entries.swap(entries_);
  beginDirectory();
  return entries;
}

}  // namespace zembrel::detail
